// resources, and resource add|set|rm through REGISTERUPATECALLABLE: the server picks a new
// resource's number, writes each change to its event log, reloads its calls and sends every
// connected station and display its list again. Every change is read back with
// GETALLCALLABLES in the same message. A deletion the server refuses (error 030: a station
// lists the resource, or it is resource 1) is explained with the stations that list it.
#include "Names.h"
#include "Session.h"
#include "admin/ColumnWidth.h"

namespace tavo::cli {

namespace {

const std::string kDeleteMe = kMarker + "DELETE_ME" + kMarker;
const std::string kRecordEnd = "%" + kMarker + ":";

TTable ResourceTable() {
  return {{"lopnr", "callname", "fullname", "colour", "sms", "sms_number", "active"},
          {},
          {TCellKind::Number, TCellKind::Text, TCellKind::Text, TCellKind::Text, TCellKind::Flag,
           TCellKind::Optional, TCellKind::Flag}};
}

std::vector<std::string> ResourceCells(const TCallableRow& r) {
  return {r.Lopnr,
          r.CallName,
          r.FullName,
          ColourCell(r.Colour),
          r.SendSms == "-1" ? "yes" : "no",
          r.SmsNumber,
          r.Active == "T" ? "yes" : r.Active == "F" ? "no" : r.Active};
}

struct TResourceArgs {
  std::string CallName, Rename, Full, Colour, Sms;
  bool NoSms = false, Active = false, Inactive = false;
};

struct TResourceFields {
  std::string CallName, Full, SmsNumber;
  int32_t Colour = 0;
  bool Sms = false, Active = true;
};

TResourceFields Merge(const TResourceArgs& a, TResourceFields f) {
  if (!a.Rename.empty()) f.CallName = a.Rename;
  if (!a.Full.empty()) f.Full = a.Full;
  if (!a.Colour.empty()) f.Colour = ColourOption(a.Colour);
  if (!a.Sms.empty()) {
    f.Sms = true;
    f.SmsNumber = a.Sms;
  }
  if (a.NoSms) f.Sms = false;
  if (a.Active) f.Active = true;
  if (a.Inactive) f.Active = false;
  RequireCarried(f.CallName, "call name", tavo::kCallNameWidth);
  RequireCarried(f.Full, "full name", tavo::kFullNameWidth);
  RequireCarried(f.SmsNumber, "SMS number", tavo::kSmsNummerWidth, TTextUse::Field);
  return f;
}

// One REGISTERUPATECALLABLE record: number, call name, full name, colour, SMS flag, SMS
// number, active flag, each followed by ":", then the record's end.
std::string Record(const std::string& lopnr, const TResourceFields& f) {
  return lopnr + ":" + f.CallName + ":" + f.Full + ":" + std::to_string(f.Colour) + ":" +
         (f.Sms ? "-1" : "0") + ":" + f.SmsNumber + ":" + (f.Active ? "T" : "F") + ":" +
         kRecordEnd;
}

std::vector<TCallableRow> Change(TAdminSession& s, const std::string& records) {
  auto answer = s.Fenced(RequestBlock("REGISTERUPATECALLABLE", records) +
                         RequestBlock("GETALLCALLABLES", ""));
  return ParseCallables(FindPayload(answer, "RETALLCALLABLES"));
}

const TCallableRow* ByNumber(const std::vector<TCallableRow>& rows, const std::string& lopnr) {
  for (auto& r : rows)
    if (r.Lopnr == lopnr) return &r;
  return nullptr;
}

void Show(std::ostream& out, const TCliOptions& o, const TCallableRow& row) {
  TTable t = ResourceTable();
  t.Rows.push_back(ResourceCells(row));
  WriteTable(out, t, o.Format);
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
  return text;
}

// Why the server refused to delete the resource, in words.
std::string Refusal(TAdminSession& s, const TCallableRow& r, const std::string& serverText) {
  if (r.Lopnr == "1")
    return "resource " + r.CallName + " is resource number 1, which the server never deletes";
  const auto stations = s.Stations();
  std::vector<std::string> names;
  for (auto& st : stations) names.push_back(st.Name);
  const auto lists = s.StationLists(names);
  std::vector<std::string> listing;
  for (size_t i = 0; i < stations.size(); ++i)
    for (auto& p : lists[i])
      if (p.CallableLopnr == r.Lopnr) {
        listing.push_back(stations[i].Name);
        break;
      }
  if (listing.empty()) return "the server refused to delete resource " + r.CallName + ": " + serverText;
  return "resource " + r.CallName + " cannot be deleted: " +
         (listing.size() == 1 ? "station " : "the stations ") + Joined(listing) + " list" +
         (listing.size() == 1 ? "s" : "") +
         " it; take it off their lists first (tavo-cli list set STATION RESOURCE...)";
}

}  // namespace

void AddResourceCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  set.Add(app, "resources",
          "Every resource. Signs on as administration client, sends GETALLCALLABLES.",
          [](const TCliOptions& o, std::ostream& out) {
            TAdminSession s(o);
            TTable t = ResourceTable();
            for (auto& r : s.Resources()) t.Rows.push_back(ResourceCells(r));
            WriteTable(out, t, o.Format);
          });

  auto* resource = app.add_subcommand(
      "resource", "Adds, changes or removes a resource through REGISTERUPATECALLABLE, as the "
                  "clinic's administration program does: the stations and displays that list "
                  "it see the change at once and the server's event log records it.");
  resource->require_subcommand(1);
  auto describe = [](CLI::App* sub, TResourceArgs& a, bool adding) {
    sub->add_option("CALLNAME", a.CallName, "The resource's call name, as stations show it")->required();
    sub->add_option("--full", a.Full,
                    adding ? "Full name (default: the call name)" : "New full name");
    sub->add_option("--colour", a.Colour,
                    "Colour: #RRGGBB or " + ColourNames() + (adding ? " (default: black)" : ""));
    auto* sms = sub->add_option("--sms", a.Sms, "Send an SMS for each call to this number");
    auto* inactive = sub->add_flag("--inactive", a.Inactive, "Stations do not show it");
    if (!adding) {
      sub->add_flag("--no-sms", a.NoSms, "Send no SMS for its calls")->excludes(sms);
      sub->add_flag("--active", a.Active, "Stations show it again")->excludes(inactive);
    }
  };

  auto add = std::make_shared<TResourceArgs>();
  auto* addCmd = set.Add(
      *resource, "add", "Adds a resource; the server gives it the next free number.",
      [add](const TCliOptions& o, std::ostream& out) {
        TResourceFields f;
        f.CallName = add->CallName;
        f.Full = add->CallName;
        f = Merge(*add, f);
        TAdminSession s(o);
        const auto before = s.Resources();
        for (auto& r : before)
          if (r.CallName == f.CallName)
            throw ECliFailure("resource " + f.CallName + " exists already (number " + r.Lopnr +
                              "); change it with tavo-cli resource set");
        // A number no resource has asks for a new one.
        int free = 0;
        while (ByNumber(before, std::to_string(free))) --free;
        const auto after = Change(s, Record(std::to_string(free), f));
        const TCallableRow* row = nullptr;
        for (auto& r : after)
          if (r.CallName == f.CallName && !ByNumber(before, r.Lopnr)) row = &r;
        if (!row) throw ECliFailure("the server did not add resource " + f.CallName);
        Show(out, o, *row);
      });
  describe(addCmd, *add, true);

  auto change = std::make_shared<TResourceArgs>();
  auto* setCmd = set.Add(
      *resource, "set", "Changes a resource: only what is given changes.",
      [change](const TCliOptions& o, std::ostream& out) {
        const TResourceArgs& a = *change;
        if (a.Rename.empty() && a.Full.empty() && a.Colour.empty() && a.Sms.empty() && !a.NoSms &&
            !a.Active && !a.Inactive)
          throw ECliUsage("nothing to change: give --rename, --full, --colour, --sms, --no-sms, "
                          "--active or --inactive");
        TAdminSession s(o);
        const auto before = s.Resources();
        const TCallableRow now = RequireResource(before, a.CallName);
        TResourceFields f;
        f.CallName = now.CallName;
        f.Full = now.FullName;
        f.Colour = StoredColour(now.Colour);
        f.Sms = now.SendSms == "-1";
        f.SmsNumber = now.SmsNumber;
        f.Active = now.Active != "F";
        f = Merge(a, f);
        if (f.Sms && f.SmsNumber.empty())
          throw ECliUsage("an SMS needs a number: give --sms NUMBER");
        const TCallableRow* other = FindResource(before, f.CallName);
        if (f.CallName != now.CallName && other && other->CallName == f.CallName)
          throw ECliFailure("resource " + f.CallName + " exists already");
        const auto after = Change(s, Record(now.Lopnr, f));
        const TCallableRow* row = ByNumber(after, now.Lopnr);
        if (!row || row->CallName != f.CallName)
          throw ECliFailure("the server did not change resource " + a.CallName);
        Show(out, o, *row);
      });
  describe(setCmd, *change, false);
  setCmd->add_option("--rename", change->Rename, "New call name");

  auto rm = std::make_shared<std::string>();
  auto* rmCmd = set.Add(
      *resource, "rm",
      "Removes a resource. The server refuses while a station lists it, and for resource 1.",
      [rm](const TCliOptions& o, std::ostream& out) {
        TAdminSession s(o);
        const TCallableRow now = RequireResource(s.Resources(), *rm);
        auto answer = s.Send(RequestBlock("REGISTERUPATECALLABLE",
                                          now.Lopnr + ":" + kDeleteMe + "::::::" + kRecordEnd) +
                             RequestBlock("GETALLCALLABLES", ""));
        for (auto& m : answer.Messages)
          if (auto e = ErrorText(m)) {
            if (e->rfind("ERROR: 030", 0) == 0) throw ECliFailure(Refusal(s, now, *e));
            throw ECliFailure(*e);
          }
        const auto after = ParseCallables(FindPayload(answer.Messages, "RETALLCALLABLES"));
        if (ByNumber(after, now.Lopnr)) throw ECliFailure("the server did not remove resource " + *rm);
        WriteTable(out, {{"removed", "lopnr"}, {{now.CallName, now.Lopnr}}, {TCellKind::Text, TCellKind::Number}},
                   o.Format);
      });
  rmCmd->add_option("CALLNAME", *rm, "Call name or number of the resource")->required();
}

}  // namespace tavo::cli
