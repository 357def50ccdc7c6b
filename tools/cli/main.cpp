// tavo-cli: the operator's client of the server's wire protocol. One command per call
// (tavo-cli COMMAND ARGS [-h HOST] [-p PORT]; the global options may stand before or after the
// command, or come from TAVO_HOST and TAVO_PORT), or an interactive prompt when no command is
// given. Exit status: 0 success, 1 an error reply, a refusal or a time-out, 2 a usage error.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <editline/readline.h>

#include "CliApp.h"

using namespace tavo::cli;

namespace {

struct TParsed {
  TCliOptions Options;
  bool Json = false, Tsv = false, Csv = false;
  TAction Run;
  std::vector<std::string> Commands;  // the top-level command names, for completion
};

// The command line of one command; the chosen command's action lands in p.Run.
std::unique_ptr<CLI::App> BuildApp(TParsed& p) {
  auto app = std::make_unique<CLI::App>(
      "Operator's client of the TAVO server: sets up stations, resources and lists through the "
      "administration commands of the protocol, calls, watches displays and reads the call log.",
      "tavo-cli");
  app->set_help_flag("--help", "Show help");
  app->set_version_flag("--version", std::string("tavo-cli ") + TAVO_VERSION);
  // Global options may follow the command too: `tavo-cli stations --json`.
  app->fallthrough();
  // The last of a repeated connection option counts, so that a wrapper's defaults can be
  // overridden.
  const auto last = CLI::MultiOptionPolicy::TakeLast;
  app->add_option("-h,--host", p.Options.Host, "Server host (or TAVO_HOST)")
      ->envname("TAVO_HOST")
      ->capture_default_str()
      ->multi_option_policy(last);
  app->add_option("-p,--port", p.Options.Port, "Server main port (or TAVO_PORT)")
      ->envname("TAVO_PORT")
      ->capture_default_str()
      ->multi_option_policy(last);
  app->add_option("-t,--timeout", p.Options.TimeoutSeconds, "Seconds to wait for an answer")
      ->capture_default_str()
      ->multi_option_policy(last)
      ->check(CLI::PositiveNumber);
  app->add_flag("--json", p.Json, "Print results as JSON (numbers as numbers, absent values as null)");
  app->add_flag("--tsv", p.Tsv, "Print results as tab-separated text (the default off a terminal)");
  app->add_flag("--csv", p.Csv, "Print results as CSV");
  app->require_subcommand(0, 1);

  TCommandSet set(*app, p.Run);
  AddBasicCommands(set);
  AddStationCommands(set);
  AddResourceCommands(set);
  AddListCommands(set);
  AddSettingCommands(set);
  AddSmsAccountCommands(set);
  AddCallCommands(set);
  AddSqlCommands(set);
  AddEscalationCommands(set);
  for (const CLI::App* sub : app->get_subcommands({})) p.Commands.push_back(sub->get_name());
  return app;
}

// Runs one command; returns the exit status.
int RunParsed(TParsed& p) {
  const bool terminal = ::isatty(STDOUT_FILENO);
  p.Options.Terminal = terminal && !p.Json && !p.Tsv && !p.Csv;
  p.Options.Format = p.Json ? TOutputFormat::Json
                     : p.Csv ? TOutputFormat::Csv
                     : p.Tsv || !terminal ? TOutputFormat::Tsv
                                          : TOutputFormat::Pretty;
  try {
    p.Run(p.Options, std::cout);
    std::cout.flush();
    return 0;
  } catch (const ECliUsage& e) {
    std::cerr << "tavo-cli: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cout.flush();
    std::cerr << "tavo-cli: " << e.what() << "\n";
    return 1;
  }
}

std::vector<std::string> gCompletions;

char* CompleteCommand(const char* text, int state) {
  static size_t next;
  if (state == 0) next = 0;
  const std::string prefix = text;
  while (next < gCompletions.size()) {
    const std::string& c = gCompletions[next++];
    if (c.compare(0, prefix.size(), prefix) == 0) return ::strdup(c.c_str());
  }
  return nullptr;
}

char** Complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // no file names
  return start == 0 ? rl_completion_matches(text, CompleteCommand) : nullptr;
}

// Splits a prompt line into words: blanks separate them, '...' and "..." keep blanks and
// quotes of the other kind inside, as a shell does. Statements and raw text are taken
// verbatim from the rest of the line, quotes included.
std::vector<std::string> SplitLine(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = 0;
  auto skipBlanks = [&] {
    while (pos < line.size() && line[pos] == ' ') ++pos;
  };
  auto word = [&] {
    std::string w;
    char quote = 0;
    for (; pos < line.size(); ++pos) {
      const char c = line[pos];
      if (quote) {
        if (c == quote)
          quote = 0;
        else
          w += c;
      } else if (c == '\'' || c == '"') {
        quote = c;
      } else if (c == ' ') {
        break;
      } else {
        w += c;
      }
    }
    return w;
  };
  skipBlanks();
  if (pos >= line.size()) return words;
  words.push_back(word());
  const bool verbatim = words[0] == "sql" || words[0] == "exec" || words[0] == "raw";
  for (skipBlanks(); pos < line.size(); skipBlanks()) {
    if (verbatim && line.compare(pos, 2, "--") != 0) {
      words.push_back(line.substr(pos));
      break;
    }
    words.push_back(word());
  }
  return words;
}

int Interactive(const TCliOptions& connection) {
  const char* home = std::getenv("HOME");
  const std::string history = home ? std::string(home) + "/.tavo_cli_history" : std::string();
  using_history();
  if (!history.empty()) read_history(history.c_str());
  rl_attempted_completion_function = Complete;
  const std::string prompt = connection.Host + ":" + std::to_string(connection.Port) + "> ";
  int last = 0;
  while (char* raw = readline(prompt.c_str())) {
    std::string line = raw;
    std::free(raw);
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    // Only the command line goes into the history; a password asked for later never does.
    add_history(line.c_str());
    auto words = SplitLine(line);
    if (words[0] == "quit" || words[0] == "exit") break;
    if (words[0] == "help") {
      words.erase(words.begin());
      words.push_back("--help");  // `help station add` is `station add --help`
    }
    TParsed p;
    p.Options = connection;
    auto app = BuildApp(p);
    std::vector<std::string> args(words.rbegin(), words.rend());  // CLI11 takes them reversed
    try {
      app->parse(args);
    } catch (const CLI::ParseError& e) {
      last = app->exit(e) ? 2 : 0;
      continue;
    }
    if (!p.Run) continue;
    gInterrupted = false;
    last = RunParsed(p);
  }
  if (!history.empty()) write_history(history.c_str());
  return last;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, [](int) { gInterrupted = true; });
  std::signal(SIGPIPE, SIG_IGN);
  TParsed p;
  auto app = BuildApp(p);
  try {
    app->parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app->exit(e) ? 2 : 0;
  }
  if (!p.Run) {
    if (!::isatty(STDIN_FILENO)) {
      std::cerr << "tavo-cli: no command given (see --help)\n";
      return 2;
    }
    gCompletions = p.Commands;
    gCompletions.push_back("help");
    gCompletions.push_back("quit");
    return Interactive(p.Options);
  }
  return RunParsed(p);
}
