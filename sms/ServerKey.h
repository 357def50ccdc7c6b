// The server's fixed 128-bit cipher key, the one place it comes from. The service module and
// every gateway client module take it from here; the gateway reads the message files and the
// stored SMS password was written under it, so it must never change.
#pragma once

#include "sms/LbCipher.h"

namespace tavo {

TKey128 MakeServerKey();

}  // namespace tavo
