// The commands of tavo-cli. Each opens its own connection, says nothing to stdout but its
// result, and reports failure by throwing: ECliFailure (an error reply, a time-out, a server
// that did not do what was asked: exit 1) or ECliUsage (a request the protocol cannot carry:
// exit 2).
#pragma once

#include <atomic>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>

#include "Table.h"

namespace tavo::cli {

class ECliFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class ECliUsage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TCliOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 102;
  double TimeoutSeconds = 5;
  TOutputFormat Format = TOutputFormat::Tsv;
  bool Terminal = false;  // stdout is a terminal: redraw instead of appending
};

// Set from a signal handler to end `watch`.
extern std::atomic<bool> gInterrupted;

void CmdPing(const TCliOptions& o, std::ostream& out);
void CmdVersion(const TCliOptions& o, std::ostream& out);
void CmdStations(const TCliOptions& o, std::ostream& out);
void CmdResources(const TCliOptions& o, std::ostream& out);
void CmdList(const TCliOptions& o, std::ostream& out, const std::string& station);
// Ends after `count` lists when count > 0, else on interruption.
void CmdWatch(const TCliOptions& o, std::ostream& out, const std::string& display, int count);
void CmdCall(const TCliOptions& o, std::ostream& out, const std::string& station,
             const std::string& resource);
void CmdConfirm(const TCliOptions& o, std::ostream& out, const std::string& station,
                const std::string& resource);
void CmdAnswer(const TCliOptions& o, std::ostream& out, const std::string& station,
               const std::string& resource, const std::string& caller);
// Prints each step's time; throws ECliFailure when a step missed the budget.
void CmdTestCall(const TCliOptions& o, std::ostream& out, const std::string& station,
                 const std::string& resource, const std::string& display, double budgetSeconds);
void CmdSql(const TCliOptions& o, std::ostream& out, const std::string& statement);
void CmdExec(const TCliOptions& o, std::ostream& out, const std::string& statement);
// Dates as yyyy-MM-dd, both days included; empty for no bound.
void CmdReport(const TCliOptions& o, std::ostream& out, const std::string& from,
               const std::string& to);
// The SMS outbox, oldest first; state one of queued, sending, sent, expired, cancelled, failed
// (empty: all), from a day yyyy-MM-dd on (empty: all).
void CmdSms(const TCliOptions& o, std::ostream& out, const std::string& state,
            const std::string& from);
void CmdRaw(const TCliOptions& o, std::ostream& out, const std::string& text, bool lineMode);

}  // namespace tavo::cli
