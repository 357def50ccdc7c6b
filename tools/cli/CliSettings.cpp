// cancel-resource, clinic-name and setting: the server's text settings through SETINITEXT and
// GETINITEXT (a setting NAME is its section, "-" and its key). The server acts on two of them
// at once: ServerSettings-CancelResource (the cancel resource, which stations flag and displays
// leave out) and ServerSettings-ClinicName (the name its update requests carry); those two
// only from connections its registry value AdminCommandsFrom allows. A change is read back in
// the same message, so a refused or lost one is reported, not printed as done.
#include "Names.h"
#include "Session.h"

namespace tavo::cli {

namespace {

// Settings values are free texts of the clients; no column width limits them.
constexpr size_t kSettingWidth = 250;

const std::string kRefusedHint =
    "; the server takes it only from connections that its registry value AdminCommandsFrom "
    "allows, and its event log says why";

struct TSettingName {
  std::string Section, Key;
};

TSettingName SplitName(const std::string& name) {
  const size_t dash = name.find('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == name.size())
    throw ECliUsage("a setting's name is its section, \"-\" and its key, e.g. "
                    "ServerSettings-UpdateServerPort, not " + name);
  TSettingName n{name.substr(0, dash), name.substr(dash + 1)};
  RequireCarried(n.Section, "setting section", kSettingWidth, TTextUse::Field);
  RequireCarried(n.Key, "setting key", kSettingWidth, TTextUse::Field);
  if (name.find("\\CHECKVERSION") != std::string::npos)
    throw ECliUsage("a section holding \\CHECKVERSION asks for a program file's version, not a setting");
  return n;
}

std::string Get(const TSettingName& n) { return RequestBlock("GETINITEXT", n.Section + ":" + n.Key); }
std::string Set(const TSettingName& n, const std::string& value) {
  return RequestBlock("SETINITEXT", n.Section + ":" + n.Key + ":" + value);
}

// Stores the value and returns what the server holds afterwards.
std::string SetAndRead(TAdminSession& s, const TSettingName& n, const std::string& value) {
  return FindPayload(s.Fenced(Set(n, value) + Get(n)), "RETINITEXT");
}

const TSettingName kCancel{"ServerSettings", "CancelResource"};
const TSettingName kClinic{"ServerSettings", "ClinicName"};

void ShowCancel(std::ostream& out, const TCliOptions& o, const std::string& lopnr,
                const std::vector<TCallableRow>& resources) {
  const bool none = lopnr.empty() || lopnr == "0";
  const TCallableRow* r = none ? nullptr : FindResource(resources, lopnr);
  WriteTable(out,
             {{"lopnr", "callname"},
              {{none ? "" : lopnr, r ? r->CallName : ""}},
              {TCellKind::Number, TCellKind::Optional}},
             o.Format);
}

struct TValueArgs {
  std::string Name, Value;
  bool Given = false, Clear = false;
};

}  // namespace

void AddSettingCommands(TCommandSet& set) {
  CLI::App& app = set.App();

  auto cancel = std::make_shared<TValueArgs>();
  auto* cancelCmd = set.Add(
      app, "cancel-resource",
      "Shows the cancel resource, or makes RESOURCE (call name or number) the cancel resource: "
      "call stations show it flagged and displays never show it. --none: no cancel resource. "
      "Sends SETINITEXT ServerSettings:CancelResource as administration client.",
      [cancel](const TCliOptions& o, std::ostream& out) {
        TAdminSession s(o);
        const auto resources = s.Resources();
        if (!cancel->Given && !cancel->Clear) {
          ShowCancel(out, o, FindPayload(s.Fenced(Get(kCancel)), "RETINITEXT"), resources);
          return;
        }
        if (cancel->Given && cancel->Clear) throw ECliUsage("give a resource or --none, not both");
        const std::string lopnr = cancel->Clear ? "0" : RequireResource(resources, cancel->Value).Lopnr;
        const std::string stored = SetAndRead(s, kCancel, lopnr);
        if (stored != lopnr)
          throw ECliFailure("the server did not take the cancel resource" + kRefusedHint);
        ShowCancel(out, o, stored, resources);
      });
  cancelCmd->add_option("RESOURCE", cancel->Value, "Call name or number of the resource")
      ->each([cancel](const std::string&) { cancel->Given = true; });
  cancelCmd->add_flag("--none", cancel->Clear, "No cancel resource");

  auto clinic = std::make_shared<TValueArgs>();
  auto* clinicCmd = set.Add(
      app, "clinic-name",
      "Shows the clinic's name, or sets it to TEXT (--clear: no name). The server sends it with "
      "its update requests and to clients that ask (GETKLINIKNAMN); it keeps it in its "
      "registry value ClinicName. Sends SETINITEXT ServerSettings:ClinicName as administration "
      "client.",
      [clinic](const TCliOptions& o, std::ostream& out) {
        if (clinic->Given && clinic->Clear) throw ECliUsage("give a name or --clear, not both");
        const std::string name = clinic->Clear ? std::string() : clinic->Value;
        if (clinic->Given) {
          RequireCarried(name, "clinic name", kSettingWidth, TTextUse::Field);
          if (name.find_first_of("$/?%") != std::string::npos)
            throw ECliUsage("a clinic name cannot hold \"$\", \"/\", \"?\" or \"%\": it travels "
                            "in the path of the server's update requests");
        }
        TAdminSession s(o);
        const std::string ask = RequestBlock("GETKLINIKNAMN", "");
        std::string now;
        if (clinic->Given || clinic->Clear) {
          now = FindPayload(s.Fenced(Set(kClinic, name) + ask), "RETKLINIKNAMN");
          if (now != name) throw ECliFailure("the server did not take the clinic name" + kRefusedHint);
        } else {
          now = FindPayload(s.Fenced(ask), "RETKLINIKNAMN");
        }
        WriteTable(out, {{"clinic_name"}, {{now}}, {TCellKind::Optional}}, o.Format);
      });
  clinicCmd->add_option("TEXT", clinic->Value, "The clinic's name")
      ->each([clinic](const std::string&) { clinic->Given = true; });
  clinicCmd->add_flag("--clear", clinic->Clear, "No clinic name");

  auto* setting = app.add_subcommand(
      "setting", "Reads or writes one of the server's text settings (SETINITEXT, GETINITEXT), "
                 "e.g. ServerSettings-UpdateServerPort, which moves the update listener at once.");
  setting->require_subcommand(1);
  auto get = std::make_shared<TValueArgs>();
  set.Add(*setting, "get", "The setting's value; empty when it was never set.",
          [get](const TCliOptions& o, std::ostream& out) {
            const TSettingName n = SplitName(get->Name);
            TAdminSession s(o);
            WriteTable(out, {{"name", "value"}, {{get->Name, FindPayload(s.Fenced(Get(n)), "RETINITEXT")}}},
                       o.Format);
          })
      ->add_option("NAME", get->Name, "Section-Key")
      ->required();
  auto put = std::make_shared<TValueArgs>();
  auto* putCmd = set.Add(
      *setting, "set", "Stores the value and reads it back.",
      [put](const TCliOptions& o, std::ostream& out) {
        const TSettingName n = SplitName(put->Name);
        RequireCarried(put->Value, "setting value", kSettingWidth, TTextUse::Field);
        TAdminSession s(o);
        const std::string stored = SetAndRead(s, n, put->Value);
        if (stored != put->Value)
          throw ECliFailure("the server holds " + stored + " for " + put->Name + " after the change" +
                            kRefusedHint);
        WriteTable(out, {{"name", "value"}, {{put->Name, stored}}}, o.Format);
      });
  putCmd->add_option("NAME", put->Name, "Section-Key")->required();
  putCmd->add_option("VALUE", put->Value, "The value (may be empty: \"\")")->required();
}

}  // namespace tavo::cli
