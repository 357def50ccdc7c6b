// stations, and station add|set|rm through REGISTERUPATEMACHINE: the server picks a new
// station's number, writes each change to its event log and sends a connected station its
// sign-on data again at once. Every change is read back with GETALLMACHINES in the same
// message, so what is printed is what the server stored.
#include <iostream>
#include <map>
#include <optional>

#include "CliSupervision.h"
#include "Names.h"
#include "Session.h"
#include "admin/ColumnWidth.h"

namespace tavo::cli {

namespace {

// A display name holding this asks the server to delete the station.
const std::string kDeleteMe = kMarker + "DELETE_ME" + kMarker;

// Display and hardware stations are supervised: the last three columns say whether, their
// state (online, away, waiting, offline) and since when; empty for the other stations.
TTable StationTable() {
  return {{"name", "lopnr", "friendly_name", "colour", "type", "connected", "imei", "resources",
           "supervised", "state", "since"},
          {},
          {TCellKind::Text, TCellKind::Number, TCellKind::Text, TCellKind::Text, TCellKind::Text,
           TCellKind::Flag, TCellKind::Optional, TCellKind::Number, TCellKind::Flag,
           TCellKind::Optional, TCellKind::Optional}};
}

using TSupervision = std::optional<std::map<std::string, TSupervisionRow>>;

std::vector<std::string> StationCells(const TStationRow& s, const std::string& resources,
                                      const TSupervision& supervision) {
  std::vector<std::string> cells = {s.Name,
                                    s.Lopnr,
                                    s.FriendlyName,
                                    ColourCell(s.Colour),
                                    StationTypeText(s.Type),
                                    s.Connected == "-1" ? "yes" : "no",
                                    s.Imei,
                                    resources,
                                    "",
                                    "",
                                    ""};
  if (supervision)
    if (auto it = supervision->find(s.Lopnr); it != supervision->end()) {
      cells[8] = it->second.Supervised ? "yes" : "no";
      cells[9] = it->second.State;
      cells[10] = it->second.Since;
    }
  return cells;
}

// What a station add or set sends; empty texts where the option was not given.
struct TStationArgs {
  std::string Name, Rename, Friendly, Type, Colour, Imei;
  bool Supervise = false, NoSupervise = false;  // SUPERVISION, not REGISTERUPATEMACHINE
};

// Marks the station as --supervise or --no-supervise asked, if either was given.
void ApplySupervision(TAdminSession& s, const TStationArgs& a, const TStationRow& row) {
  if (!a.Supervise && !a.NoSupervise) return;
  SetSupervision(s, row.Lopnr, a.Supervise);
  if (!ShowsCalls(row))
    std::cerr << "tavo-cli: note: only display and hardware stations are supervised; "
              << row.Name << " is neither\n";
}

struct TStationFields {
  std::string Name, Friendly, Imei;
  int Type = 0;
  int32_t Colour = 0;
};

void CheckName(const std::string& name, const char* what, size_t width) {
  RequireCarried(name, what, width);
}

// The options given, checked before anything is sent, over the station's present values.
TStationFields Merge(const TStationArgs& a, TStationFields f) {
  if (!a.Rename.empty()) f.Name = a.Rename;
  if (!a.Friendly.empty()) f.Friendly = a.Friendly;
  if (!a.Imei.empty()) f.Imei = a.Imei;
  if (!a.Type.empty()) {
    auto t = ParseStationType(a.Type);
    if (!t) throw ECliUsage("--type takes call, display, admin or hardware, not " + a.Type);
    f.Type = *t;
  }
  if (!a.Colour.empty()) f.Colour = ColourOption(a.Colour);
  CheckName(f.Name, "station name", tavo::kStationNameWidth);
  CheckName(f.Friendly, "display name", tavo::kFriendlyNameWidth);
  RequireCarried(f.Imei, "IMEI number", tavo::kImeiNumberWidth, TTextUse::Field);
  return f;
}

// REGISTERUPATEMACHINE: name, type, display name, colour, IMEI, a skipped field, number.
std::string Register(const TStationFields& f, const std::string& lopnr) {
  return RequestBlock("REGISTERUPATEMACHINE", f.Name + ":" + std::to_string(f.Type) + ":" +
                                                  f.Friendly + ":" + std::to_string(f.Colour) +
                                                  ":" + f.Imei + "::" + lopnr);
}

// Sends the change with GETALLMACHINES behind it and returns the stations as stored after it.
std::vector<TStationRow> Change(TAdminSession& s, const std::string& request) {
  auto answer = s.Fenced(request + RequestBlock("GETALLMACHINES", ""));
  return ParseMachines(FindPayload(answer, "RETALLMACHINES"));
}

void Show(std::ostream& out, const TCliOptions& o, TAdminSession& s, const TStationRow& row) {
  TTable t = StationTable();
  t.Rows.push_back(
      StationCells(row, std::to_string(s.StationList(row.Name).size()), ReadSupervision(s)));
  WriteTable(out, t, o.Format);
}

}  // namespace

void AddStationCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  set.Add(app, "stations",
          "Every station with its number, display name, colour, type, whether it is connected "
          "and how many resources its list has, and for display and hardware stations whether "
          "they are supervised, online or offline and since when; a display without a list is "
          "named on stderr. Signs on as administration client, sends GETALLMACHINES, "
          "GETSTATIONCALLABLES and SUPERVISION.",
          [](const TCliOptions& o, std::ostream& out) {
            TAdminSession s(o);
            const auto rows = s.Stations();
            std::vector<std::string> names;
            for (auto& r : rows) names.push_back(r.Name);
            const auto lists = s.StationLists(names);
            const auto supervision = ReadSupervision(s);
            TTable t = StationTable();
            for (size_t i = 0; i < rows.size(); ++i) {
              t.Rows.push_back(StationCells(rows[i], std::to_string(lists[i].size()), supervision));
              if (ShowsCalls(rows[i]) && lists[i].empty())
                std::cerr << "tavo-cli: " << NoListWarning(rows[i].Name) << "\n";
            }
            WriteTable(out, t, o.Format);
          });

  auto* station = app.add_subcommand(
      "station", "Adds, changes or removes a station through REGISTERUPATEMACHINE, as the "
                 "clinic's administration program does: connected stations see the change at "
                 "once and the server's event log records it.");
  station->require_subcommand(1);
  auto describe = [](CLI::App* sub, TStationArgs& a, bool adding) {
    sub->add_option("NAME", a.Name, "Station name (as the station signs on)")->required();
    sub->add_option("--friendly", a.Friendly,
                    adding ? "Display name (default: the station name)" : "New display name");
    sub->add_option("--type", a.Type,
                    std::string("call, display, admin or hardware") + (adding ? " (default: call)" : ""));
    sub->add_option("--colour", a.Colour,
                    "Colour of the name: #RRGGBB or " + ColourNames() + (adding ? " (default: black)" : ""));
    sub->add_option("--imei", a.Imei,
                    adding ? "IMEI number of a mobile station"
                           : "New IMEI number of a mobile station (an IMEI cannot be removed)");
    auto* on = sub->add_flag("--supervise", a.Supervise,
                             "Report the display or hardware station when it is offline "
                             "(the default; sends SUPERVISION)");
    sub->add_flag("--no-supervise", a.NoSupervise,
                  "Never report the station offline, e.g. one switched off on purpose (sends "
                  "SUPERVISION)")
        ->excludes(on);
  };

  auto add = std::make_shared<TStationArgs>();
  auto* addCmd = set.Add(
      *station, "add", "Adds a station; the server gives it the next free number.",
      [add](const TCliOptions& o, std::ostream& out) {
        TStationFields f;
        f.Name = add->Name;
        f.Friendly = add->Name;
        f = Merge(*add, f);
        TAdminSession s(o);
        if (auto* there = FindStation(s.Stations(), f.Name))
          throw ECliFailure("station " + f.Name + " exists already (number " + there->Lopnr +
                            "); change it with tavo-cli station set");
        const auto after = Change(s, Register(f, "-1"));
        const TStationRow* row = FindStation(after, f.Name);
        if (!row) throw ECliFailure("the server did not add station " + f.Name);
        ApplySupervision(s, *add, *row);
        Show(out, o, s, *row);
        if (f.Type == 1 || f.Type == 3) std::cerr << "tavo-cli: " << NoListWarning(f.Name) << "\n";
      });
  describe(addCmd, *add, true);

  auto change = std::make_shared<TStationArgs>();
  auto* setCmd = set.Add(
      *station, "set", "Changes a station: only what is given changes.",
      [change](const TCliOptions& o, std::ostream& out) {
        const TStationArgs& a = *change;
        const bool registered = !a.Rename.empty() || !a.Friendly.empty() || !a.Type.empty() ||
                                !a.Colour.empty() || !a.Imei.empty();
        if (!registered && !a.Supervise && !a.NoSupervise)
          throw ECliUsage("nothing to change: give --rename, --friendly, --type, --colour, --imei, "
                          "--supervise or --no-supervise");
        TAdminSession s(o);
        const auto rows = s.Stations();
        const TStationRow& now = RequireStation(rows, a.Name);
        // Only the supervision: the station's row stays as it is.
        if (!registered) {
          ApplySupervision(s, a, now);
          Show(out, o, s, now);
          return;
        }
        TStationFields f;
        f.Name = now.Name;
        f.Friendly = now.FriendlyName;
        f.Type = std::stoi(now.Type.empty() ? "0" : now.Type);
        f.Colour = StoredColour(now.Colour);
        f = Merge(a, f);
        if (f.Name != now.Name && FindStation(rows, f.Name))
          throw ECliFailure("station " + f.Name + " exists already");
        // An empty IMEI field keeps the stored one.
        if (a.Imei.empty()) f.Imei.clear();
        const auto after = Change(s, Register(f, now.Lopnr));
        const TStationRow* row = FindStation(after, f.Name);
        if (!row || row->Lopnr != now.Lopnr)
          throw ECliFailure("the server did not change station " + a.Name);
        ApplySupervision(s, a, *row);
        Show(out, o, s, *row);
      });
  describe(setCmd, *change, false);
  setCmd->add_option("--rename", change->Rename, "New station name");

  auto rm = std::make_shared<std::string>();
  auto* rmCmd = set.Add(
      *station, "rm", "Removes a station and its resource list; its calls stay in the call log.",
      [rm](const TCliOptions& o, std::ostream& out) {
        RequireCarried(*rm, "station name", tavo::kStationNameWidth);
        TAdminSession s(o);
        const TStationRow now = RequireStation(s.Stations(), *rm);
        const auto after =
            Change(s, RequestBlock("REGISTERUPATEMACHINE",
                                   now.Name + ":0:" + kDeleteMe + ":0:::" + now.Lopnr));
        for (auto& r : after)
          if (r.Lopnr == now.Lopnr) throw ECliFailure("the server did not remove station " + *rm);
        WriteTable(out, {{"removed", "lopnr"}, {{now.Name, now.Lopnr}}, {TCellKind::Text, TCellKind::Number}},
                   o.Format);
      });
  rmCmd->add_option("NAME", *rm, "Station name")->required();
}

}  // namespace tavo::cli
