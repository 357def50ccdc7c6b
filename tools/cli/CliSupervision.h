// tavo-cli's side of station supervision and escalation: what `stations` and `station
// add|set --[no-]supervise` need of SUPERVISION, the `escalation set|show|rm` family over
// ESCALATION, and the marks `watch` puts on escalated calls. Both blocks are sent only by
// tavo-cli, on an administration connection; names are turned into numbers here first.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "CliApp.h"
#include "Session.h"

namespace tavo::cli {

struct TSupervisionRow {  // a station of SUPERVISION LIST
  bool Supervised = true;
  std::string State, Since;
};
// By station number; nothing when the server does not know SUPERVISION (an older server).
std::optional<std::map<std::string, TSupervisionRow>> ReadSupervision(TAdminSession& s);
// Marks the station (by number) supervised or not; throws ECliFailure with the server's reason.
void SetSupervision(TAdminSession& s, const std::string& stationLopnr, bool supervised);

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
  std::unique_ptr<TAdminSession> session_;
  bool off_ = false;
  std::map<std::pair<std::string, std::string>, std::string> marks_;
};

}  // namespace tavo::cli
