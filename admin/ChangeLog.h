// The event-log entry of a change made by an administration command: which command, which row,
// and the peer address of the requesting connection, so that a clinic can tell who changed
// its stations, resources and lists.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ClientSocket.h"
#include "platform/Logging.h"

namespace tavo {

// Writes, as information, command + ": " + what + " " + lopnr + " " + action +
// ", requested from " + the peer address ("REGISTERUPATEMACHINE: station 5 deleted, ...").
void LogAdminChange(TLogging& log, const std::string& command, const std::string& what,
                    int32_t lopnr, const std::string& action, const TClientSocketPtr& requester);
// The same for a change that names no row: command + ": " + change + ", requested from " + peer.
void LogAdminChange(TLogging& log, const std::string& command, const std::string& change,
                    const TClientSocketPtr& requester);

}  // namespace tavo
