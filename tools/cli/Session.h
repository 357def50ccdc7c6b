// The administration connection of tavo-cli's commands: signed on as an administration client
// (GETSERVERVERSION with client kind 2), it sends a request as one message and collects what
// that message causes, up to KEEPALIVE fences that tell when nothing more is coming, and reads
// the stations, resources and lists the administration commands return.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "CliApp.h"
#include "CliConnection.h"
#include "Replies.h"

namespace tavo::cli {

std::chrono::milliseconds Timeout(const TCliOptions& o);
// Milliseconds since t0, and a number with a fixed count of decimals, for timings.
double MsSince(TClockType::time_point t0);
std::string Fixed(double v, int decimals);
TClockType::time_point Deadline(const TCliOptions& o);
// Throws ECliFailure when the server cannot be reached.
std::unique_ptr<TCliConnection> Connect(const TCliOptions& o);

inline const std::string kKeepAlive = RequestBlock("KEEPALIVE", "");
inline const std::string kVersionQuestion = RequestBlock("GETSERVERVERSION", "");

class TAdminSession {
 public:
  // Connects and signs on; throws ECliFailure.
  explicit TAdminSession(const TCliOptions& o);

  struct TAnswer {
    std::vector<std::string> Messages;  // everything but the fences and the version answer
    bool VersionAnswered = false;       // the version question behind the request was answered
  };
  // Sends the request with a version question behind it in the same message and returns what
  // came back. A failing command ends its message, so an unanswered version question means a
  // command ordered before GETSERVERVERSION failed. Throws ECliFailure on a time-out.
  TAnswer Send(const std::string& request);
  // Send, but an error reply, or an unanswered version question, throws ECliFailure.
  std::vector<std::string> Fenced(const std::string& request);

  std::vector<TStationRow> Stations();
  std::vector<TCallableRow> Resources();
  // The station's list (GETSTATIONCALLABLES): its pairs in the order of their positions.
  std::vector<TListPair> StationList(const std::string& station);
  // The lists of several stations in one message; one list per name, in the same order.
  std::vector<std::vector<TListPair>> StationLists(const std::vector<std::string>& stations);

  TCliConnection& Connection() { return *conn_; }
  const TCliOptions& Options() const { return o_; }

 private:
  const TCliOptions& o_;
  std::unique_ptr<TCliConnection> conn_;
};

// The payload of the first message holding the keyword's block; throws ECliFailure.
std::string FindPayload(const std::vector<std::string>& messages, const std::string& keyword);

// The station of that name; nothing when there is none.
const TStationRow* FindStation(const std::vector<TStationRow>& rows, const std::string& name);
// The station of that name; throws ECliFailure naming the stations there are.
const TStationRow& RequireStation(const std::vector<TStationRow>& rows, const std::string& name);
// A resource named by its call name, or by its number when no call name is that text.
const TCallableRow* FindResource(const std::vector<TCallableRow>& rows, const std::string& name);
const TCallableRow& RequireResource(const std::vector<TCallableRow>& rows, const std::string& name);

// A display or hardware station: it shows the calls of the resources in its list.
bool ShowsCalls(const TStationRow& station);
// The warning for a display without a resource list, which will never show a call.
std::string NoListWarning(const std::string& station);

}  // namespace tavo::cli
