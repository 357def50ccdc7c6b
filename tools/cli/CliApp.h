// How tavo-cli's command families join the command line: each family file adds its
// subcommands (with their options and help) to the application, and the callback of the
// subcommand that was chosen sets the action that runs it. A family keeps its parsed
// arguments in a shared object that its options write and its actions capture, so adding an
// option or a subcommand touches one file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <CLI/CLI.hpp>

#include "Errors.h"
#include "Table.h"

namespace tavo::cli {

struct TCliOptions {
  std::string Host = "127.0.0.1";
  uint16_t Port = 102;
  double TimeoutSeconds = 5;
  TOutputFormat Format = TOutputFormat::Tsv;
  bool Terminal = false;  // stdout is a terminal: redraw instead of appending
};

// Set from a signal handler to end `watch`.
extern std::atomic<bool> gInterrupted;

// What a chosen command does; throws ECliFailure or ECliUsage.
using TAction = std::function<void(const TCliOptions&, std::ostream&)>;

class TCommandSet {
 public:
  TCommandSet(CLI::App& app, TAction& chosen) : app_(app), chosen_(chosen) {}

  CLI::App& App() { return app_; }
  // A subcommand of parent whose choice runs action once the command line is parsed.
  CLI::App* Add(CLI::App& parent, const std::string& name, const std::string& description,
                TAction action);
 private:
  CLI::App& app_;
  TAction& chosen_;
};

// The command families, each in its own file.
void AddBasicCommands(TCommandSet& set);      // ping, version, raw
void AddStationCommands(TCommandSet& set);    // stations, station add|set|rm
void AddResourceCommands(TCommandSet& set);   // resources, resource add|set|rm
void AddListCommands(TCommandSet& set);       // list STATION, list set
void AddSettingCommands(TCommandSet& set);    // cancel-resource, clinic-name, setting
void AddSmsAccountCommands(TCommandSet& set); // sms-account show|set
void AddCallCommands(TCommandSet& set);       // watch, call, answer, confirm, test-call
void AddSqlCommands(TCommandSet& set);        // sql, exec, report, sms
void AddEscalationCommands(TCommandSet& set); // escalation set|show|rm

}  // namespace tavo::cli
