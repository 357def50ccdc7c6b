#include "admin/SupervisionCommands.h"

#include "admin/ChangeLog.h"
#include "admin/ToolBlocks.h"
#include "common/RequestError.h"
#include "common/DateTime.h"

namespace tavo {
namespace {

constexpr char kKeyword[] = "SUPERVISION";

}  // namespace

void TSupervisionCommands::RegisterCommands(TInterpreter& interpreter) {
  interpreter.SetHandler(kKeyword, [this](const TCommandContext& c) { return CmdSupervision(c); });
}

TCommandResult TSupervisionCommands::CmdSupervision(const TCommandContext& c) {
  return ServeToolRequest(kKeyword, access_, log_, c, [&] { Serve(c); });
}

void TSupervisionCommands::Serve(const TCommandContext& c) {
  const auto fields = ToolFields(c.BlockText);
  const std::string verb = fields.empty() ? std::string() : fields[0];
  if (verb == "LIST" && fields.size() == 1) {
    TToolReply reply(kKeyword);
    reply.Add(supervision_.Limit().count());
    for (const auto& s : supervision_.Stations())
      reply.Add(s.Lopnr).Add(s.Supervised ? "-1" : "0").Add(SupervisionState(s))
          .Add(DateTimeToStr(s.Since));
    reply.Send(c.Socket, c.LineMode);
    return;
  }
  if (verb == "SET" && fields.size() == 3) {
    const auto station = ToolNumber(fields[1], 1, INT32_MAX);
    const auto on = ToolNumber(fields[2], 0, 1);
    if (!station || !on) throw ERequestError("SET needs a station number and 1 or 0");
    if (db_.Open("SELECT LOPNR FROM STATIONS WHERE LOPNR = ?", {SqlInt(*station)})->Eof())
      throw ERequestError("no station " + fields[1]);
    supervision_.SetSupervised(*station, *on == 1);
    supervision_.StationsChanged();
    LogAdminChange(log_, kKeyword, "station", *station, *on ? "supervised" : "not supervised",
                   c.Socket);
    TToolReply(kKeyword).Send(c.Socket, c.LineMode);
    return;
  }
  throw ERequestError("unknown request; LIST or SET");
}

}  // namespace tavo
