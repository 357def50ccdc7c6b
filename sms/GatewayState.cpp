#include "sms/GatewayState.h"

// Set by sms/build.cmake from the cache variables TAVO_GATEWAY_*.
#ifndef TAVO_GATEWAY_DEFAULT_HOST
#define TAVO_GATEWAY_DEFAULT_HOST ""
#endif
#ifndef TAVO_GATEWAY_ALTERNATIVE_HOST
#define TAVO_GATEWAY_ALTERNATIVE_HOST ""
#endif
#ifndef TAVO_GATEWAY_PRIVATE_ADDRESS
#define TAVO_GATEWAY_PRIVATE_ADDRESS ""
#endif

namespace tavo {

TGatewayHosts BuiltInGatewayHosts() {
  return {TAVO_GATEWAY_DEFAULT_HOST, TAVO_GATEWAY_ALTERNATIVE_HOST, TAVO_GATEWAY_PRIVATE_ADDRESS};
}

}  // namespace tavo
