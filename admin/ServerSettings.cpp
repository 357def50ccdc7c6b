#include "admin/ServerSettings.h"

#include <stdexcept>

#include "admin/ChangeLog.h"
#include "common/RequestError.h"
#include "common/StrUtils.h"
#include "common/Win1252.h"
#include "database/SqlHelpers.h"

namespace tavo {
namespace {

constexpr char kCommand[] = "SETINITEXT";
constexpr char kCancelIntSetting[] = "AVBRYTCALLNAME";

// The clinic's name goes into the path of the update requests ("/$file$GENERELLVERSION$name$"):
// these characters would change that path's meaning at the gateway.
constexpr char kNotInClinicName[] = "$/?%";

}  // namespace

bool TServerSettings::Handles(const std::string& key) const {
  return key == kClinicNameSetting || key == kCancelResourceSetting;
}

void TServerSettings::Set(const std::string& key, const std::string& value,
                          const TCommandContext& c) {
  if (!access_.Permit(key == kClinicNameSetting ? "SETINITEXT ClinicName"
                                                : "SETINITEXT CancelResource",
                      *c.Socket))
    return;
  if (key == kClinicNameSetting)
    SetClinicName(value, c);
  else if (key == kCancelResourceSetting)
    SetCancelResource(value, c);
}

std::optional<std::string> TServerSettings::Get(const std::string& key) {
  if (key == kClinicNameSetting) return host_.ClinicName();
  if (key == kCancelResourceSetting)
    return std::to_string(GetIntSettingOrThrow(db_, log_, kCancelIntSetting));
  return std::nullopt;
}

void TServerSettings::SetClinicName(const std::string& value, const TCommandContext& c) {
  for (unsigned char ch : value) {
    if (ch < 0x20 || std::string_view(kNotInClinicName).find(static_cast<char>(ch)) !=
                         std::string_view::npos)
      throw ERequestError("the clinic name " + QuoteClientText(value) +
                          " holds a character the update requests cannot carry (" +
                          kNotInClinicName + " or a control character)");
  }
  if (!host_.Registry().WriteRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, "ClinicName", value))
    throw std::runtime_error("the registry value ClinicName could not be written to " +
                             Utf8ToAnsi(host_.Registry().FileName().string()));
  host_.SetClinicName(value);
  LogAdminChange(log_, kCommand, "clinic name set to \"" + value + "\"", c.Socket);
}

void TServerSettings::SetCancelResource(const std::string& value, const TCommandContext& c) {
  // Empty or 0: no cancel resource.
  const int32_t lopnr = value.empty() ? 0 : StrToIntDef(value, -1);
  if (lopnr < 0)
    throw ERequestError("the cancel resource " + QuoteClientText(value) + " is no resource number");
  if (lopnr != 0) {
    auto found = RunSQLOrThrow(db_, log_, "SELECT LOPNR FROM CALLABLES WHERE LOPNR = ?",
                               {SqlInt(lopnr)});
    if (found->Eof())
      throw ERequestError("the cancel resource " + std::to_string(lopnr) + " does not exist");
  }
  SetIntSetting(db_, log_, kCancelIntSetting, lopnr);
  calls_.DatabaseChanged();
  // SetIntSetting has logged a failure; nothing changed then, and nothing is announced.
  if (GetIntSettingOrThrow(db_, log_, kCancelIntSetting) != lopnr)
    throw std::runtime_error("the cancel resource could not be stored");
  LogAdminChange(log_, kCommand, "cancel resource", lopnr, "set", c.Socket);
  // Stations flag the cancel resource in their lists and displays leave it out.
  calls_.ResendAllLists(c.LineMode);
}

}  // namespace tavo
