# The gateway hosts built into the server. Empty by default: a host nobody configured is never
# contacted, and "HTTPSERVER" in the registry names the gateway.
set(TAVO_GATEWAY_DEFAULT_HOST "" CACHE STRING "Built-in default gateway host (host or host:port)")
set(TAVO_GATEWAY_ALTERNATIVE_HOST "" CACHE STRING "Built-in alternative gateway host")
set(TAVO_GATEWAY_PRIVATE_ADDRESS "" CACHE STRING "Built-in private-network address of the gateway")
set_property(SOURCE ${CMAKE_CURRENT_LIST_DIR}/GatewayState.cpp APPEND PROPERTY COMPILE_DEFINITIONS
  "TAVO_GATEWAY_DEFAULT_HOST=\"${TAVO_GATEWAY_DEFAULT_HOST}\""
  "TAVO_GATEWAY_ALTERNATIVE_HOST=\"${TAVO_GATEWAY_ALTERNATIVE_HOST}\""
  "TAVO_GATEWAY_PRIVATE_ADDRESS=\"${TAVO_GATEWAY_PRIVATE_ADDRESS}\"")
