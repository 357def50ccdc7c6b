#include "Session.h"

#include <algorithm>
#include <cstdio>

#include "Names.h"

namespace tavo::cli {

namespace {

// GETSTATIONCALLABLES blocks per message: each takes a pass of the interpreter over the rest.
constexpr size_t kListsPerMessage = 50;

}  // namespace

std::chrono::milliseconds Timeout(const TCliOptions& o) {
  return std::chrono::milliseconds(static_cast<long>(o.TimeoutSeconds * 1000));
}

TClockType::time_point Deadline(const TCliOptions& o) { return TClockType::now() + Timeout(o); }

double MsSince(TClockType::time_point t0) {
  return std::chrono::duration<double, std::milli>(TClockType::now() - t0).count();
}

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

std::unique_ptr<TCliConnection> Connect(const TCliOptions& o) {
  try {
    return std::make_unique<TCliConnection>(o.Host, o.Port, Timeout(o));
  } catch (const std::exception& e) {
    throw ECliFailure(e.what());
  }
}

TAdminSession::TAdminSession(const TCliOptions& o) : o_(o), conn_(Connect(o)) {
  conn_->Send(RequestBlock("GETSERVERVERSION", "tavo-cli:2"));
  if (!conn_->WaitFor(kMarker + "RETSERVERVERSION:", Deadline(o)))
    throw ECliFailure("no answer to the administration sign-on");
}

// The first KEEPALIVE may be read together with the request and is then answered first; a
// second one, sent after the first answer, is always read alone, after everything else.
TAdminSession::TAnswer TAdminSession::Send(const std::string& request) {
  conn_->Send(request + kVersionQuestion);
  conn_->Send(kKeepAlive);
  TAnswer answer;
  for (int fence = 0; fence < 2; ++fence) {
    if (fence == 1) conn_->Send(kKeepAlive);
    for (;;) {
      auto m = conn_->Next(Deadline(o_));
      if (!m)
        throw ECliFailure(conn_->Closed() ? "the server closed the connection"
                                          : "no answer in time");
      if (*m == kKeepAlive) break;
      if (m->find(kMarker + "RETSERVERVERSION:") == 0) {
        answer.VersionAnswered = true;
        continue;
      }
      answer.Messages.push_back(*m);
    }
  }
  return answer;
}

std::vector<std::string> TAdminSession::Fenced(const std::string& request) {
  TAnswer a = Send(request);
  for (auto& m : a.Messages)
    if (auto e = ErrorText(m)) throw ECliFailure(*e);
  if (!a.VersionAnswered)
    throw ECliFailure("the server did not carry out the request (its event log says why)");
  return a.Messages;
}

std::vector<TStationRow> TAdminSession::Stations() {
  return ParseMachines(FindPayload(Fenced(RequestBlock("GETALLMACHINES", "")), "RETALLMACHINES"));
}

std::vector<TCallableRow> TAdminSession::Resources() {
  return ParseCallables(
      FindPayload(Fenced(RequestBlock("GETALLCALLABLES", "")), "RETALLCALLABLES"));
}

std::vector<TListPair> TAdminSession::StationList(const std::string& station) {
  return StationLists({station}).at(0);
}

std::vector<std::vector<TListPair>> TAdminSession::StationLists(
    const std::vector<std::string>& stations) {
  std::vector<std::vector<TListPair>> lists;
  for (size_t from = 0; from < stations.size(); from += kListsPerMessage) {
    const size_t to = std::min(stations.size(), from + kListsPerMessage);
    std::string request;
    for (size_t i = from; i < to; ++i)
      request += RequestBlock("GETSTATIONCALLABLES", stations[i]);
    // Blocks of one command are answered one per pass, in the order they stand.
    for (auto& m : Fenced(request))
      if (auto p = BlockPayload(m, "RETSTATIONCALLABLES")) lists.push_back(ParseStationCallables(*p));
    if (lists.size() != to)
      throw ECliFailure("the server answered " + std::to_string(lists.size() - from) + " of " +
                        std::to_string(to - from) + " list questions");
  }
  return lists;
}

std::string FindPayload(const std::vector<std::string>& messages, const std::string& keyword) {
  for (auto& m : messages)
    if (auto p = BlockPayload(m, keyword)) return *p;
  throw ECliFailure("no " + keyword + " in the answer");
}

const TStationRow* FindStation(const std::vector<TStationRow>& rows, const std::string& name) {
  for (auto& r : rows)
    if (r.Name == name) return &r;
  return nullptr;
}

const TStationRow& RequireStation(const std::vector<TStationRow>& rows, const std::string& name) {
  if (auto* r = FindStation(rows, name)) return *r;
  throw ECliFailure("no station named " + name + " (tavo-cli stations lists them)");
}

const TCallableRow* FindResource(const std::vector<TCallableRow>& rows, const std::string& name) {
  for (auto& r : rows)
    if (r.CallName == name) return &r;
  for (auto& r : rows)
    if (r.Lopnr == name) return &r;
  return nullptr;
}

const TCallableRow& RequireResource(const std::vector<TCallableRow>& rows,
                                    const std::string& name) {
  if (auto* r = FindResource(rows, name)) return *r;
  throw ECliFailure("no resource named " + name + " (tavo-cli resources lists them)");
}

bool ShowsCalls(const TStationRow& station) {
  const std::string type = StationTypeText(station.Type);
  return type == "display" || type == "hardware";
}

std::string NoListWarning(const std::string& station) {
  return "display " + station +
         " has no resource list, so it will never show a call; give it one with: tavo-cli "
         "list set \"" + station + "\" RESOURCE...";
}

}  // namespace tavo::cli
