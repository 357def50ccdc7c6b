// What a start tells the technician in one line each, besides the texts of the start-up
// sequence itself: registry values the server cannot read as what they must be (it then goes
// on with the default, as before, but says so), why a port cannot be listened on, and what
// the server serves once it is up.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "common/Registry.h"
#include "platform/Logging.h"

namespace tavo {

// One warning per value of the server's key that is set but cannot be read as what it must
// be (a port number, YES or NO, NORMAL or FULL), naming the value, the file and what is used.
void WarnUnreadableRegistryValues(TRegistryStore& registry, TLogging& log);

// "Cannot listen on port 102 (what): reason" and what to do about it: a port below 1024 needs
// CAP_NET_BIND_SERVICE, a port in use belongs to another program.
std::string ListenFailureText(uint16_t port, const std::string& what, const std::error_code& ec);

// True when the text is a decimal number the server reads as one.
bool IsDecimalNumber(const std::string& text);

}  // namespace tavo
