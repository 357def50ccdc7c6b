// Who may run the commands that change data at will or read the SMS password (EXECSQL,
// OPENSQL, POSTSMSSETTINGS, GETSMSSETTINGS). The clinic's network is no boundary, so by default
// only connections signed on as administration clients may. The registry value
// "AdminCommandsFrom" changes that: "ADMIN" (default), "ANY" (every connection), or a
// comma-separated list of addresses and CIDR networks; with a list, a connection must be
// signed on as an administration client and come from one of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "common/Registry.h"
#include "platform/ClientSocket.h"
#include "platform/Logging.h"

namespace tavo {

inline constexpr const char* kAdminCommandsFromValue = "AdminCommandsFrom";

// One address or network of the list.
struct TAddressRange {
  bool V6 = false;
  std::array<uint8_t, 16> Bytes{};  // network byte order; IPv4 in the first four
  int PrefixBits = 0;
};

class TAdminAccessRule {
 public:
  enum class TMode : uint8_t { Admin, Any, AddressList };

  // Reads the registry text (blanks around entries ignored, keywords in any letter case). An
  // entry that is no address or network is skipped and named in problems, so a typing error
  // narrows access rather than widening it.
  static TAdminAccessRule Parse(const std::string& text, std::vector<std::string>& problems);

  TMode Mode() const { return mode_; }
  // True when a connection so signed on and coming from peer may run the commands.
  bool Allows(bool signedOnAsAdmin, const std::string& peer) const;
  // True when peer lies in one of the list's ranges (false for an unreadable peer).
  bool AddressListed(const std::string& peer) const;

 private:
  TMode mode_ = TMode::Admin;
  std::vector<TAddressRange> ranges_;
};

// The connection's peer address, without its port, for log texts.
std::string PeerText(const TClientSocket& socket);

// An address ("10.2.0.7", "fe80::1") or network ("10.2.0.0/16"); false when it is neither.
bool ParseAddressRange(const std::string& text, TAddressRange& out);

class TAdminAccess {
 public:
  TAdminAccess(TRegistryStore& registry, TLogging& log) : registry_(registry), log_(log) {}

  // True when the command may run on the connection. Otherwise the refusal is logged as a
  // warning naming the command and the peer, once per connection, and false is returned; why,
  // when given, then receives the reason.
  bool Permit(const std::string& command, TClientSocket& socket, std::string* why = nullptr);
  // The same for the commands that only the operator's tools send: these always need an
  // administration sign-on, also where the rule is "ANY".
  bool PermitSignedOn(const std::string& command, TClientSocket& socket,
                      std::string* why = nullptr);

 private:
  // The rule of the registry value as it is now; problems are logged when the text changes.
  const TAdminAccessRule& CurrentRule();
  bool Decide(const std::string& command, TClientSocket& socket, bool anyAllowed,
              std::string* why);

  TRegistryStore& registry_;
  TLogging& log_;
  bool parsed_ = false;
  std::string text_;
  TAdminAccessRule rule_;
};

}  // namespace tavo
