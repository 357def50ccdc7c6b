// sms-account show|set: the SMS gateway account through GETSMSSETTINGS and POSTSMSSETTINGS.
// The password never comes from the command line (it would stand in the process list and the
// shell's history): it is read from the terminal without echo, or from standard input when
// that is no terminal, and shown only with --show-password. The server answers these
// commands only where its registry value AdminCommandsFrom allows.
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "Names.h"
#include "Session.h"

namespace tavo::cli {

namespace {

// The stored texts have no declared width the protocol knows of; keep them reasonable.
constexpr size_t kAccountWidth = 250;

struct TAccount {
  std::string User, Password, Customer;
};

const std::string kRefused =
    "the server did not answer GETSMSSETTINGS: its registry value AdminCommandsFrom does not "
    "allow the SMS account commands from this connection (its event log names the address)";

TAccount Parse(const std::vector<std::string>& messages) {
  std::optional<std::string> p;
  for (auto& m : messages)
    if (auto q = BlockPayload(m, "RETSMSSETTINGS")) p = q;
  if (!p) throw ECliFailure(kRefused);
  auto f = Split(*p, ":");
  if (f.size() < 3) throw ECliFailure("RETSMSSETTINGS: " + std::to_string(f.size()) + " fields");
  // The password is the field between the first and the last separator.
  TAccount a{f.front(), "", f.back()};
  const size_t first = p->find(':'), last = p->rfind(':');
  a.Password = p->substr(first + 1, last - first - 1);
  return a;
}

void Show(std::ostream& out, const TCliOptions& o, const TAccount& a, bool showPassword) {
  WriteTable(out,
             {{"user", "password", "customer_number"},
              {{a.User, showPassword ? a.Password : a.Password.empty() ? "" : "(hidden)", a.Customer}},
              {TCellKind::Optional, TCellKind::Optional, TCellKind::Number}},
             o.Format);
}

// One line from the terminal without echo, or from standard input.
std::string ReadLine(const char* prompt) {
  std::string line;
  if (::isatty(STDIN_FILENO)) {
    // Echo goes off before the prompt shows: what is typed after it is never echoed, and
    // nothing typed is thrown away.
    termios before{};
    ::tcgetattr(STDIN_FILENO, &before);
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSADRAIN, &quiet);
    std::cerr << prompt << std::flush;
    const bool got = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSADRAIN, &before);
    std::cerr << "\n";
    if (!got) throw ECliUsage("no password given");
    return line;
  }
  if (!std::getline(std::cin, line)) throw ECliUsage("no password on standard input");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string ReadPassword() {
  const std::string password = ReadLine("SMS gateway password: ");
  if (::isatty(STDIN_FILENO) && ReadLine("The same again: ") != password)
    throw ECliUsage("the two passwords differ; nothing was changed");
  if (password.empty()) throw ECliUsage("no password given");
  RequireCarried(password, "password", kAccountWidth, TTextUse::Field);
  return password;
}

struct TSetArgs {
  std::string User, Customer;
  bool KeepPassword = false, ShowPassword = false;
};

}  // namespace

void AddSmsAccountCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  auto* sms = app.add_subcommand(
      "sms-account", "The SMS gateway account (GETSMSSETTINGS, POSTSMSSETTINGS) as "
                     "administration client.");
  sms->require_subcommand(1);

  auto show = std::make_shared<TSetArgs>();
  set.Add(*sms, "show", "User, customer number and whether a password is set.",
          [show](const TCliOptions& o, std::ostream& out) {
            TAdminSession s(o);
            Show(out, o, Parse(s.Fenced(RequestBlock("GETSMSSETTINGS", ""))), show->ShowPassword);
          })
      ->add_flag("--show-password", show->ShowPassword, "Print the password too");

  auto a = std::make_shared<TSetArgs>();
  auto* setCmd = set.Add(
      *sms, "set",
      "Sets the account; what is not given stays. The password is asked for on the terminal "
      "(twice, without echo) or read as one line from standard input, e.g. from a file that "
      "only you can read: tavo-cli sms-account set --user U < password.txt",
      [a](const TCliOptions& o, std::ostream& out) {
        RequireCarried(a->User, "user name", kAccountWidth, TTextUse::Field);
        if (!a->Customer.empty() &&
            (a->Customer.find_first_not_of("0123456789") != std::string::npos || a->Customer.size() > 9))
          throw ECliUsage("--customer takes a number of at most 9 digits, not " + a->Customer);
        // Read before connecting: the terminal may take its time.
        const std::string password = a->KeepPassword ? std::string() : ReadPassword();
        TAdminSession s(o);
        TAccount account = Parse(s.Fenced(RequestBlock("GETSMSSETTINGS", "")));
        if (!a->User.empty()) account.User = a->User;
        if (!a->Customer.empty()) account.Customer = a->Customer;
        if (!a->KeepPassword) account.Password = password;
        const TAccount stored =
            Parse(s.Fenced(RequestBlock("POSTSMSSETTINGS", account.User + ":" + account.Password +
                                                               ":" + account.Customer) +
                           RequestBlock("GETSMSSETTINGS", "")));
        if (stored.User != account.User || stored.Password != account.Password ||
            stored.Customer != std::to_string(std::stol("0" + account.Customer)))
          throw ECliFailure("the server holds another account after the change (its event log says why)");
        Show(out, o, stored, false);
      });
  setCmd->add_option("--user", a->User, "User name at the gateway");
  setCmd->add_option("--customer", a->Customer, "Customer number at the gateway");
  setCmd->add_flag("--keep-password", a->KeepPassword, "Keep the password the server has");
}

}  // namespace tavo::cli
