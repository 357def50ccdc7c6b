// The text settings that SETINITEXT stores and the server then acts on, besides the update
// port: "ServerSettings-ClinicName", the clinic's name (kept in the registry value ClinicName,
// read at start-up), and "ServerSettings-CancelResource", the number of the cancel resource
// (kept in the integer setting AVBRYTCALLNAME; 0 for none). Both change what the server does
// for everyone, so only connections the administration access rule allows may set them, each
// change is written to the event log, and GETINITEXT answers them from where the server keeps
// them, so an administration client can read back what took effect.
#pragma once

#include <optional>
#include <string>

#include "admin/AdminAccess.h"
#include "admin/AdminHost.h"
#include "calls/CallService.h"
#include "database/Database.h"
#include "platform/Logging.h"
#include "protocol/Interpreter.h"

namespace tavo {

inline constexpr const char* kClinicNameSetting = "ServerSettings-ClinicName";
inline constexpr const char* kCancelResourceSetting = "ServerSettings-CancelResource";

class TServerSettings {
 public:
  TServerSettings(TDatabase& db, TLogging& log, TAdminHost& host, TAdminAccess& access,
                  TCallService& calls)
      : db_(db), log_(log), host_(host), access_(access), calls_(calls) {}

  bool Handles(const std::string& key) const;
  // Stores the value and acts on it, when the requester may. A refused requester is logged by
  // the access rule and nothing changes; a value the setting cannot take throws ERequestError
  // before anything is stored.
  void Set(const std::string& key, const std::string& value, const TCommandContext& c);
  // The value in effect, or nothing for a key this class does not handle.
  std::optional<std::string> Get(const std::string& key);

 private:
  void SetClinicName(const std::string& value, const TCommandContext& c);
  void SetCancelResource(const std::string& value, const TCommandContext& c);

  TDatabase& db_;
  TLogging& log_;
  TAdminHost& host_;
  TAdminAccess& access_;
  TCallService& calls_;
};

}  // namespace tavo
