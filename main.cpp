// TAVO_WServer.exe: parses the command line and runs the service module.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include "platform/EventSink.h"
#include "service/CommandLine.h"
#include "service/UTavoServerMain.h"

int main(int argc, char** argv) {
  using namespace tavo;
  std::vector<std::string> args(argv, argv + argc);
  TCommandLineResult cl = ParseCommandLine(args);
  switch (cl.What) {
    case TCommandLineResult::Help:
      std::cout << Usage();
      return 0;
    case TCommandLineResult::Version:
      std::cout << kServerVersion << "\n";
      return 0;
    case TCommandLineResult::Error:
      std::cerr << "TAVO_WServer.exe: " << cl.Message << "\n" << Usage();
      return 2;
    case TCommandLineResult::Run:
      break;
  }
  if (!cl.Options.RegistryFile.empty()) {
    const std::string problem = RegistryFileProblem(cl.Options.RegistryFile);
    if (!problem.empty()) {
      std::cerr << "TAVO_WServer.exe: " << problem << "\n";
      return 1;
    }
  }
  // Started by hand without --foreground: detach like a daemon, keeping the directory.
  const bool detach = !cl.Options.Foreground && !RunningUnderSystemd();
  std::shared_ptr<TEventSink> sink;
  try {
    sink = cl.Options.EventLogFile.empty()
               ? MakeDefaultSink(detach)
               : std::shared_ptr<TEventSink>(std::make_shared<TLineFileSink>(cl.Options.EventLogFile));
  } catch (const std::exception& e) {
    std::cerr << "TAVO_WServer.exe: " << e.what()
              << "; its directory must exist and be writable by the user the server runs as\n";
    return 1;
  }
  if (detach) {
    if (cl.Options.EventLogFile.empty())
      std::cerr << "TAVO_WServer.exe: running in the background; the event log goes to syslog "
                   "(journalctl -t TAVO_WServer). Use --foreground to stay in the terminal, or "
                   "--event-log FILE\n";
    if (::daemon(1, 0) != 0) {
      std::perror("daemon");
      return 1;
    }
  }
  TTAVO_WindowsServer server(cl.Options, sink, std::make_shared<TSystemClock>());
  return server.Run();
}
