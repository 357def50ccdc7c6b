// ping, version and raw: the commands that need no sign-on.
#include "Session.h"

namespace tavo::cli {

void AddBasicCommands(TCommandSet& set) {
  CLI::App& app = set.App();
  set.Add(app, "ping", "KEEPALIVE round trip with its time. Sends ¤KEEPALIVE::KEEPALIVE¤; no sign-on.",
          [](const TCliOptions& o, std::ostream& out) {
            auto c = Connect(o);
            const auto t0 = TClockType::now();
            c->Send(kKeepAlive);
            if (!c->WaitFor(kKeepAlive, Deadline(o))) throw ECliFailure("no KEEPALIVE answer in time");
            WriteTable(out, {{"reply", "time_ms"}, {{"KEEPALIVE", Fixed(MsSince(t0), 3)}},
                             {TCellKind::Text, TCellKind::Number}},
                       o.Format);
          });
  set.Add(app, "version", "The server's version. Sends GETSERVERVERSION; no sign-on.",
          [](const TCliOptions& o, std::ostream& out) {
            auto c = Connect(o);
            c->Send(kVersionQuestion);
            auto m = c->WaitFor(kMarker + "RETSERVERVERSION:", Deadline(o));
            if (!m) throw ECliFailure("no version answer in time");
            WriteTable(out, {{"version"}, {{*BlockPayload(*m, "RETSERVERVERSION")}}}, o.Format);
          });

  struct TRawArgs {
    std::vector<std::string> Words;
    bool Line = false;
  };
  auto a = std::make_shared<TRawArgs>();
  auto* raw = set.Add(
      app, "raw",
      "Sends TEXT as typed (framed by #DATASTART#/#DATAEND#, or with --line as one line) and "
      "prints what comes back, the block marker shown as \"¤\". No sign-on.",
      [a](const TCliOptions& o, std::ostream& out) {
        std::string text;
        for (auto& w : a->Words) text += (text.empty() ? "" : " ") + w;
        auto c = Connect(o);
        c->SendRaw(a->Line ? text + "\r\n" : "#DATASTART#" + text + "#DATAEND#");
        const std::string got = c->ReadQuiet(std::chrono::milliseconds(300), Deadline(o));
        out << got;
        if (!got.empty() && got.back() != '\n') out << "\n";
        if (got.empty()) throw ECliFailure("no answer in time");
      });
  raw->add_option("TEXT", a->Words, "What to send")->required();
  raw->add_flag("--line", a->Line, "Send in line mode");
}

}  // namespace tavo::cli
