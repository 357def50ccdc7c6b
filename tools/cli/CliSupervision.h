// tavo-cli's side of station supervision and escalation: `station set NAME --[no-]supervise`,
// the online/offline columns of `stations`, `escalation set|show|rm`, and the marks `watch`
// puts on escalated calls. All sign on as administration client and send SUPERVISION or
// ESCALATION, blocks that only tavo-cli sends; names are turned into numbers here first.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "CliConnection.h"
#include "Commands.h"

namespace CLI {
class App;
}

namespace tavo::cli {

struct TSupervisionRow {  // a station of SUPERVISION LIST
  bool Supervised = true;
  std::string State, Since;
};
// By station number; nothing when the server does not know SUPERVISION (an older server).
std::optional<std::map<std::string, TSupervisionRow>> ReadSupervision(TCliConnection& c,
                                                                      const TCliOptions& o);

void CmdStationSupervise(const TCliOptions& o, std::ostream& out, const std::string& station,
                         bool supervise);
// The resource by call name or number; the target a resource (name or number) or an SMS number
// (one that starts with "+" or "0" is always a number).
void CmdEscalationSet(const TCliOptions& o, std::ostream& out, const std::string& resource,
                      int afterSeconds, const std::string& to, int repeat);
// Every resource's steps, or one resource's.
void CmdEscalationShow(const TCliOptions& o, std::ostream& out, const std::string& resource);
// The resource's steps, or the one to the target.
void CmdEscalationRm(const TCliOptions& o, std::ostream& out, const std::string& resource,
                     const std::string& to);

// The escalated open calls, read over an administration connection of their own. Without an
// answer (an older server, a refusal) there are simply no marks.
class TEscalationMarks {
 public:
  explicit TEscalationMarks(const TCliOptions& o) : o_(o) {}
  // Reads them again; true when they changed.
  bool Refresh();
  // What `watch` shows for the resource's call from the station: empty when not escalated.
  std::string Mark(const std::string& resourceLopnr, const std::string& stationLopnr) const;

 private:
  TCliOptions o_;
  std::unique_ptr<TCliConnection> conn_;
  bool off_ = false;
  std::map<std::pair<std::string, std::string>, std::string> marks_;
};

// Adds `station set` and `escalation set|show|rm`; choose() takes the command to run.
void AddSupervisionCommands(CLI::App& app, std::ostream& out,
                            const std::function<void(std::function<void(const TCliOptions&)>)>& choose);

}  // namespace tavo::cli
