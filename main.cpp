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
  std::shared_ptr<TEventSink> sink;
  try {
    sink = cl.Options.EventLogFile.empty()
               ? MakeDefaultSink()
               : std::shared_ptr<TEventSink>(std::make_shared<TLineFileSink>(cl.Options.EventLogFile));
  } catch (const std::exception& e) {
    std::cerr << "TAVO_WServer.exe: " << e.what() << "\n";
    return 1;
  }
  if (!cl.Options.Foreground && !RunningUnderSystemd()) {
    // Started by hand without --foreground: detach like a daemon, keeping the directory.
    if (::daemon(1, 0) != 0) {
      std::perror("daemon");
      return 1;
    }
  }
  TSystemClock clock;
  TTAVO_WindowsServer server(cl.Options, sink, clock);
  return server.Run();
}
