#include "admin/ChangeLog.h"

namespace tavo {

void LogAdminChange(TLogging& log, const std::string& command, const std::string& what,
                    int32_t lopnr, const std::string& action, const TClientSocketPtr& requester) {
  LogAdminChange(log, command, what + " " + std::to_string(lopnr) + " " + action, requester);
}

void LogAdminChange(TLogging& log, const std::string& command, const std::string& change,
                    const TClientSocketPtr& requester) {
  const std::string peer = requester && !requester->PeerAddress().empty()
                               ? requester->PeerAddress()
                               : std::string("an unknown address");
  log.Logg(command + ": " + change + ", requested from " + peer, ltInfo);
}

}  // namespace tavo
