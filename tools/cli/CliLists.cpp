// list STATION and list set STATION RESOURCE...: a station's resource list, read with
// GETSTATIONCALLABLES and replaced with POSTCALLABLESLIST, which the server stores in one
// transaction, records in its event log and sends to the station at once.
#include <iostream>
#include <map>
#include <set>

#include "Names.h"
#include "Session.h"
#include "admin/ColumnWidth.h"

namespace tavo::cli {

namespace {

void ShowList(std::ostream& out, const TCliOptions& o, const std::vector<TListPair>& pairs,
              const std::vector<TCallableRow>& resources) {
  std::map<std::string, TCallableRow> byLopnr;
  for (auto& r : resources) byLopnr[r.Lopnr] = r;
  TTable t{{"ix", "lopnr", "callname", "fullname", "active"},
           {},
           {TCellKind::Number, TCellKind::Number, TCellKind::Optional, TCellKind::Optional,
            TCellKind::Flag}};
  for (auto& p : pairs) {
    auto it = byLopnr.find(p.CallableLopnr);
    if (it == byLopnr.end())
      t.Rows.push_back({p.Ix, p.CallableLopnr, "", "", ""});
    else
      t.Rows.push_back({p.Ix, p.CallableLopnr, it->second.CallName, it->second.FullName,
                        it->second.Active == "T"   ? "yes"
                        : it->second.Active == "F" ? "no"
                                                   : it->second.Active});
  }
  WriteTable(out, t, o.Format);
}

struct TListArgs {
  std::string Station;
  std::vector<std::string> Resources;
  bool Empty = false;
};

}  // namespace

void AddListCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  auto show = std::make_shared<std::string>();
  auto* list = set.Add(
      app, "list",
      "A station's resource list in its order, or with `list set` a new one. Signs on as "
      "administration client, sends GETSTATIONCALLABLES, GETALLCALLABLES and GETALLMACHINES.",
      [show](const TCliOptions& o, std::ostream& out) {
        RequireCarried(*show, "station name", tavo::kStationNameWidth);
        TAdminSession s(o);
        const TStationRow station = RequireStation(s.Stations(), *show);
        const auto pairs = s.StationList(station.Name);
        if (ShowsCalls(station) && pairs.empty()) std::cerr << "tavo-cli: " << NoListWarning(station.Name) << "\n";
        ShowList(out, o, pairs, s.Resources());
      });
  list->add_option("STATION", *show, "Station name");

  auto a = std::make_shared<TListArgs>();
  auto* setCmd = set.Add(
      *list, "set",
      "Replaces the station's list with the resources given, in that order (call names or "
      "numbers); --empty leaves it without any. Sends POSTCALLABLESLIST as administration "
      "client: the station, when connected, receives its new list at once.",
      [a](const TCliOptions& o, std::ostream& out) {
        RequireCarried(a->Station, "station name", tavo::kStationNameWidth);
        if (a->Resources.empty() && !a->Empty)
          throw ECliUsage("give the resources of the list in their order, or --empty for none");
        if (!a->Resources.empty() && a->Empty)
          throw ECliUsage("--empty takes no resources");
        TAdminSession s(o);
        const TStationRow station = RequireStation(s.Stations(), a->Station);
        const auto resources = s.Resources();
        std::string pairs;
        std::set<std::string> seen;
        int position = 0;
        for (auto& name : a->Resources) {
          const TCallableRow& r = RequireResource(resources, name);
          if (!seen.insert(r.Lopnr).second)
            throw ECliUsage("resource " + r.CallName + " is given twice");
          if (r.Active == "F")
            std::cerr << "tavo-cli: resource " << r.CallName
                      << " is inactive: stations do not show it until tavo-cli resource set \""
                      << r.CallName << "\" --active\n";
          pairs += ":" + r.Lopnr + ":" + std::to_string(position++);
        }
        // Fields 1 and 2 are not read from an administration client; field 3 is the station.
        auto answer = s.Fenced(RequestBlock("POSTCALLABLESLIST", "::" + station.Lopnr + pairs) +
                               RequestBlock("GETSTATIONCALLABLES", station.Name));
        const auto stored = ParseStationCallables(FindPayload(answer, "RETSTATIONCALLABLES"));
        if (stored.size() != a->Resources.size())
          throw ECliFailure("the server did not store the list of " + station.Name);
        if (ShowsCalls(station) && stored.empty())
          std::cerr << "tavo-cli: " << NoListWarning(station.Name) << "\n";
        ShowList(out, o, stored, resources);
      });
  setCmd->add_option("STATION", a->Station, "Station name")->required();
  setCmd->add_option("RESOURCE", a->Resources, "Resources in their order");
  setCmd->add_flag("--empty", a->Empty, "Leave the station without resources");
}

}  // namespace tavo::cli
