// The restart from outside the process: a small shell script in the temporary directory that
// stops the server, pauses and starts it again. Under systemd it asks the service manager to
// restart the unit (which stops it, waiting for the exit, and starts it); otherwise it ends the
// process, waits until it is gone, pauses one second and starts the same command line again.
// It is started with the standard descriptors only, so nothing the server holds (a listener)
// reaches the new process. An existing script is used unchanged, so everything it needs comes
// from its environment. The unit gives the server a temporary directory of its own
// (/run/TAVO_WindowsServer), so that an older script, or one somebody else left in /tmp, is
// never what runs.
#pragma once

#include <string>
#include <vector>

namespace tavo {

// What the started script needs to know about this process.
struct TRestartContext {
  std::string SystemdUnit;             // unit to restart; empty when not run by systemd
  int Pid = 0;                         // this process
  std::string WorkingDirectory;        // where the command line was started
  std::vector<std::string> CommandLine;  // argv, the executable first
};

// The temporary directory with a trailing "/": $TMPDIR, else /tmp.
// Throws std::runtime_error("Unable to generate temporary path").
std::string GetTempDirectory();

inline constexpr const char* kRestartScriptName = "RestartTAVOServer.sh";
std::string RestartScriptText();

// Writes the script when it is missing and starts it: detached by hand; under systemd waiting
// for its status, the service manager's answer to the restart request. Returns at once.
// Throws when the temporary directory or the script cannot be had, or the restart request
// was refused.
void RestartServer(const TRestartContext& ctx);

// The environment entries the script reads (for tests and for the starter).
std::vector<std::string> RestartEnvironment(const TRestartContext& ctx);
std::string ShellQuote(const std::string& s);

}  // namespace tavo
