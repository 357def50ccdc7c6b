#include "admin/AdminAccess.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/StrUtils.h"

namespace tavo {

std::string PeerText(const TClientSocket& socket) {
  const std::string peer = socket.PeerHost();
  return peer.empty() ? std::string("an unknown address") : peer;
}

bool ParseAddressRange(const std::string& text, TAddressRange& out) {
  std::string address = text;
  int prefix = -1;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    const std::string bits = text.substr(slash + 1);
    if (bits.empty() || bits.size() > 3 || bits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    prefix = std::stoi(bits);
    address = text.substr(0, slash);
  }
  TAddressRange r;
  if (inet_pton(AF_INET, address.c_str(), r.Bytes.data()) == 1) {
    r.V6 = false;
    if (prefix > 32) return false;
    r.PrefixBits = prefix < 0 ? 32 : prefix;
  } else if (inet_pton(AF_INET6, address.c_str(), r.Bytes.data()) == 1) {
    r.V6 = true;
    if (prefix > 128) return false;
    r.PrefixBits = prefix < 0 ? 128 : prefix;
  } else {
    return false;
  }
  out = r;
  return true;
}

namespace {

bool InRange(const TAddressRange& range, const TAddressRange& peer) {
  if (range.V6 != peer.V6) return false;
  int bits = range.PrefixBits;
  for (size_t i = 0; bits > 0; ++i, bits -= 8) {
    const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
    if ((range.Bytes[i] & mask) != (peer.Bytes[i] & mask)) return false;
  }
  return true;
}

}  // namespace

TAdminAccessRule TAdminAccessRule::Parse(const std::string& text,
                                         std::vector<std::string>& problems) {
  TAdminAccessRule rule;
  const std::string t = Trim(text);
  if (t.empty() || SameTextAscii(t, "ADMIN")) return rule;
  if (SameTextAscii(t, "ANY")) {
    rule.mode_ = TMode::Any;
    return rule;
  }
  rule.mode_ = TMode::AddressList;
  size_t start = 0;
  for (;;) {
    const size_t comma = t.find(',', start);
    const std::string entry =
        Trim(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    TAddressRange range;
    if (ParseAddressRange(entry, range))
      rule.ranges_.push_back(range);
    else if (!entry.empty())
      problems.push_back(entry);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return rule;
}

bool TAdminAccessRule::AddressListed(const std::string& peer) const {
  TAddressRange p;
  if (!ParseAddressRange(peer, p) || peer.find('/') != std::string::npos) return false;
  for (const auto& r : ranges_)
    if (InRange(r, p)) return true;
  return false;
}

bool TAdminAccessRule::Allows(bool signedOnAsAdmin, const std::string& peer) const {
  switch (mode_) {
    case TMode::Any:
      return true;
    case TMode::Admin:
      return signedOnAsAdmin;
    case TMode::AddressList:
      return signedOnAsAdmin && AddressListed(peer);
  }
  return false;
}

const TAdminAccessRule& TAdminAccess::CurrentRule() {
  std::string text = registry_.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, kAdminCommandsFromValue);
  if (parsed_ && text == text_) return rule_;
  std::vector<std::string> problems;
  rule_ = TAdminAccessRule::Parse(text, problems);
  for (const auto& p : problems)
    log_.Logg(std::string(kAdminCommandsFromValue) + ": \"" + p +
                  "\" is no address or network and is ignored",
              ltWarning);
  text_ = std::move(text);
  parsed_ = true;
  return rule_;
}

bool TAdminAccess::Permit(const std::string& command, TClientSocket& socket, std::string* why) {
  return Decide(command, socket, true, why);
}

bool TAdminAccess::PermitSignedOn(const std::string& command, TClientSocket& socket,
                                  std::string* why) {
  return Decide(command, socket, false, why);
}

bool TAdminAccess::Decide(const std::string& command, TClientSocket& socket, bool anyAllowed,
                          std::string* why) {
  const bool admin = socket.Data && socket.Data->StationType == ctAdmin;
  const TAdminAccessRule& rule = CurrentRule();
  if ((anyAllowed || admin) && rule.Allows(admin, socket.PeerHost())) return true;
  const std::string who = PeerText(socket);
  const std::string reason = !admin
                                 ? "the connection has not signed on as an administration client"
                                 : who + " is not in " + kAdminCommandsFromValue;
  if (why) *why = reason;
  if (!socket.AdminRefusalLogged) {
    socket.AdminRefusalLogged = true;
    log_.Logg("Refused " + command + " from " + who + ": " + reason +
                  "; this connection's further refusals are not logged",
              ltWarning);
  }
  return false;
}

}  // namespace tavo
