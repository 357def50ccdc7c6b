// tavo-cli: the operator's client of the server's wire protocol. One command per call
// (tavo-cli -h HOST -p PORT COMMAND ARGS), or an interactive prompt when no command is given.
// Exit status: 0 success, 1 an error reply or a time-out, 2 a usage error.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <editline/readline.h>

#include "Commands.h"

using namespace tavo::cli;

namespace {

const std::vector<std::string> kCommands = {"ping", "version", "stations", "resources", "list",
                                             "watch", "call", "answer", "confirm", "test-call",
                                             "sql", "exec", "report", "sms", "raw", "help",
                                             "quit"};

struct TParsed {
  TCliOptions Options;
  bool Json = false, Tsv = false, Csv = false;
  std::function<void(const TCliOptions&)> Run;
  // Arguments of the chosen command.
  std::string A1, A2, A3, From, To, State;
  std::vector<std::string> Words;
  int Count = 0;
  double Budget = 5;
  bool Line = false;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (auto& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

// The command line of one command; the chosen command's arguments land in p.
std::unique_ptr<CLI::App> BuildApp(TParsed& p) {
  auto app = std::make_unique<CLI::App>(
      "Operator's client of the TAVO server: sends the protocol's blocks and shows the answers.",
      "tavo-cli");
  app->set_help_flag("--help", "Show help");
  // The last of a repeated connection option counts, so that a wrapper's defaults can be
  // overridden.
  const auto last = CLI::MultiOptionPolicy::TakeLast;
  app->add_option("-h,--host", p.Options.Host, "Server host")->capture_default_str()->multi_option_policy(last);
  app->add_option("-p,--port", p.Options.Port, "Server main port")->capture_default_str()->multi_option_policy(last);
  app->add_option("-t,--timeout", p.Options.TimeoutSeconds, "Seconds to wait for an answer")
      ->capture_default_str()
      ->multi_option_policy(last)
      ->check(CLI::PositiveNumber);
  app->add_flag("--json", p.Json, "Print results as JSON");
  app->add_flag("--tsv", p.Tsv, "Print results as tab-separated text (the default off a terminal)");
  app->add_flag("--csv", p.Csv, "Print results as CSV");
  app->require_subcommand(0, 1);
  auto on = [&p](CLI::App* sub, std::function<void(const TCliOptions&)> run) {
    sub->callback([&p, run] { p.Run = run; });
  };
  auto* out = &std::cout;

  on(app->add_subcommand("ping", "KEEPALIVE round trip with its time. Sends ¤KEEPALIVE::KEEPALIVE¤; no sign-on."),
     [out, &p](const TCliOptions& o) { CmdPing(o, *out); });
  on(app->add_subcommand("version", "The server's version. Sends GETSERVERVERSION; no sign-on."),
     [out, &p](const TCliOptions& o) { CmdVersion(o, *out); });
  on(app->add_subcommand("stations",
                         "Every station. Signs on as administration client (GETSERVERVERSION with "
                         "kind 2), sends GETALLMACHINES."),
     [out, &p](const TCliOptions& o) { CmdStations(o, *out); });
  on(app->add_subcommand("resources",
                         "Every resource. Signs on as administration client, sends GETALLCALLABLES."),
     [out, &p](const TCliOptions& o) { CmdResources(o, *out); });


  auto* list = app->add_subcommand("list",
                                   "A station's resource list. Signs on as administration client, "
                                   "sends GETSTATIONCALLABLES, GETALLCALLABLES and GETALLMACHINES.");
  list->add_option("STATION", p.A1, "Station name")->required();
  on(list, [out, &p](const TCliOptions& o) { CmdList(o, *out, p.A1); });

  auto* watch = app->add_subcommand(
      "watch", "Signs on as the display (GETCALLLIST with kind 1) and shows its current calls "
               "(CURRENTLIST) as they change, until Ctrl-C.");
  watch->add_option("DISPLAY", p.A1, "Display station name")->required();
  watch->add_option("-n,--count", p.Count, "End after this many lists");
  on(watch, [out, &p](const TCliOptions& o) { CmdWatch(o, *out, p.A1, p.Count); });

  auto* call = app->add_subcommand(
      "call", "Signs on as the station (GETCALLLIST with kind 0) and calls the resource (CALLING).");
  call->add_option("STATION", p.A1, "Calling station name")->required();
  call->add_option("RESOURCE", p.A2, "Resource number or call name")->required();
  on(call, [out, &p](const TCliOptions& o) { CmdCall(o, *out, p.A1, p.A2); });

  auto* answer = app->add_subcommand(
      "answer", "Signs on as the station (GETCALLLIST with kind 0) and answers the caller's call "
                "(COMING); a second connection signed on as the caller shows the answer.");
  answer->add_option("STATION", p.A1, "Answering station name")->required();
  answer->add_option("RESOURCE", p.A2, "Resource number or call name")->required();
  answer->add_option("CALLER", p.A3, "Calling station name")->required();
  on(answer, [out, &p](const TCliOptions& o) { CmdAnswer(o, *out, p.A1, p.A2, p.A3); });

  auto* confirm = app->add_subcommand(
      "confirm", "Signs on as the station (GETCALLLIST with kind 0) and closes its open call to "
                 "the resource (CALLING again).");
  confirm->add_option("STATION", p.A1, "Calling station name")->required();
  confirm->add_option("RESOURCE", p.A2, "Resource number or call name")->required();
  on(confirm, [out, &p](const TCliOptions& o) { CmdConfirm(o, *out, p.A1, p.A2); });

  auto* test = app->add_subcommand(
      "test-call",
      "End-to-end test: signs on as the display (GETCALLLIST kind 1) and the station (kind 0), "
      "opens a call (CALLING), waits until the display and the station's list show it, confirms "
      "it (CALLING) and waits until both show it gone. Fails when a step takes longer than the "
      "budget (default 5 s, within which a call must reach staff under DIN VDE 0834).");
  test->add_option("STATION", p.A1, "Calling station name")->required();
  test->add_option("RESOURCE", p.A2, "Resource number or call name")->required();
  test->add_option("DISPLAY", p.A3, "Display station name")->required();
  test->add_option("-b,--budget", p.Budget, "Seconds allowed per step")->check(CLI::PositiveNumber);
  on(test, [out, &p](const TCliOptions& o) { CmdTestCall(o, *out, p.A1, p.A2, p.A3, p.Budget); });

  auto* sql = app->add_subcommand(
      "sql", "Runs a query (OPENSQL, quotes sent as \"#\") and shows its rows. Signs on as "
             "administration client first.");
  sql->add_option("STATEMENT", p.Words, "The query")->required();
  on(sql, [out, &p](const TCliOptions& o) { CmdSql(o, *out, Joined(p.Words)); });

  auto* exec = app->add_subcommand(
      "exec", "Executes a statement without rows (EXECSQL, quotes sent as \"#\"). Signs on as "
              "administration client first.");
  exec->add_option("STATEMENT", p.Words, "The statement")->required();
  on(exec, [out, &p](const TCliOptions& o) { CmdExec(o, *out, Joined(p.Words)); });

  auto* report = app->add_subcommand(
      "report", "Response times from the call log per resource and per calling station: calls, "
                "answered, never answered, median and 90th percentile of the seconds to answer "
                "(CALLTSTAMP to COMINGTSTAMP) and to close (to CONFIRMTSTAMP); per resource how "
                "its SMS ended (sent, expired, cancelled, failed). Reads through OPENSQL after "
                "signing on as administration client.");
  report->add_option("--from", p.From, "First day, yyyy-MM-dd");
  report->add_option("--to", p.To, "Last day, yyyy-MM-dd (included)");
  report->add_flag("--csv", p.Csv, "Print CSV");
  on(report, [out, &p](const TCliOptions& o) { CmdReport(o, *out, p.From, p.To); });

  auto* sms = app->add_subcommand(
      "sms", "The SMS outbox, oldest first: each SMS's call, resource, number, state (queued, "
             "sending, sent, expired, cancelled, failed), attempts, times and last error. Reads "
             "SMSOUTBOX through OPENSQL after signing on as administration client.");
  sms->add_option("--state", p.State, "Only SMS in this state");
  sms->add_option("--from", p.From, "Only SMS queued on this day (yyyy-MM-dd) or later");
  on(sms, [out, &p](const TCliOptions& o) { CmdSms(o, *out, p.State, p.From); });

  auto* raw = app->add_subcommand(
      "raw", "Sends TEXT as typed (framed by #DATASTART#/#DATAEND#, or with --line as one line) "
             "and prints what comes back, the block marker shown as \"¤\". No sign-on.");
  raw->add_option("TEXT", p.Words, "What to send")->required();
  raw->add_flag("--line", p.Line, "Send in line mode");
  on(raw, [out, &p](const TCliOptions& o) { CmdRaw(o, *out, Joined(p.Words), p.Line); });
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
    p.Run(p.Options);
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

char* CompleteCommand(const char* text, int state) {
  static size_t next;
  if (state == 0) next = 0;
  const std::string prefix = text;
  while (next < kCommands.size()) {
    const std::string& c = kCommands[next++];
    if (c.compare(0, prefix.size(), prefix) == 0) return ::strdup(c.c_str());
  }
  return nullptr;
}

char** Complete(const char* text, int start, int) {
  rl_attempted_completion_over = 1;  // no file names
  return start == 0 ? rl_completion_matches(text, CompleteCommand) : nullptr;
}

// Statements and raw text are taken verbatim from the rest of the line, quotes included.
std::vector<std::string> SplitLine(const std::string& line) {
  std::vector<std::string> words;
  size_t pos = line.find_first_not_of(' ');
  auto word = [&] {
    const size_t end = line.find(' ', pos);
    std::string w = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? line.size() : line.find_first_not_of(' ', end);
    if (pos == std::string::npos) pos = line.size();
    return w;
  };
  if (pos == std::string::npos) return words;
  words.push_back(word());
  const bool verbatim = words[0] == "sql" || words[0] == "exec" || words[0] == "raw";
  while (pos < line.size()) {
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
    add_history(line.c_str());
    auto words = SplitLine(line);
    if (words[0] == "quit" || words[0] == "exit") break;
    if (words[0] == "help") words = {"--help"};
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
    return Interactive(p.Options);
  }
  return RunParsed(p);
}
