#include "service/StartupChecks.h"

#include "common/StrUtils.h"
#include "common/Win1252.h"

namespace tavo {
namespace {

enum class TValueKind { Port, YesNo, Synchronous };

struct TTypedValue {
  const char* Name;
  TValueKind Kind;
  const char* Instead;  // what the server does with a value it cannot read
};

// The registry values the server reads as something other than free text.
constexpr TTypedValue kTypedValues[] = {
    {"Port", TValueKind::Port, "the server listens on port 102"},
    {"ProxyPort", TValueKind::Port, "the proxy is asked on port 80"},
    {"UseProxy", TValueKind::YesNo, "no proxy is used"},
    {"BasicAuthentication", TValueKind::YesNo, "no proxy credentials are sent"},
    {"VerifyCertificate", TValueKind::YesNo, "the gateway's certificate is checked"},
    {"SQLiteSynchronous", TValueKind::Synchronous,
     "every commit waits for the disk (FULL)"},
};

bool Readable(const std::string& value, TValueKind kind) {
  switch (kind) {
    case TValueKind::Port:
      return IsDecimalNumber(value);  // a number out of range fails where it is used
    case TValueKind::YesNo:
      return value == "YES" || value == "NO";
    case TValueKind::Synchronous: {
      const std::string v = Trim(value);
      return SameTextAscii(v, "NORMAL") || SameTextAscii(v, "FULL");
    }
  }
  return true;
}

const char* Expected(TValueKind kind) {
  switch (kind) {
    case TValueKind::Port: return "a port number";
    case TValueKind::YesNo: return "YES or NO, in capitals";
    case TValueKind::Synchronous: return "NORMAL or FULL";
  }
  return "";
}

}  // namespace

bool IsDecimalNumber(const std::string& text) {
  return StrToIntDef(text, 1) == StrToIntDef(text, 2);
}

void WarnUnreadableRegistryValues(TRegistryStore& registry, TLogging& log) {
  const std::string file = Utf8ToAnsi(registry.FileName().string());
  for (const TTypedValue& v : kTypedValues) {
    const std::string value = registry.ReadRegString(HKEY_LOCAL_MACHINE, TAVO_REG_KEY, v.Name);
    if (value.empty() || Readable(value, v.Kind)) continue;
    log.Logg("The registry value " + std::string(v.Name) + "=" + QuoteClientText(value) + " in " +
                 file + " is not " + Expected(v.Kind) + ", so " + v.Instead +
                 "; correct the value or remove it",
             ltWarning);
  }
}

std::string ListenFailureText(uint16_t port, const std::string& what, const std::error_code& ec) {
  std::string text = "Cannot listen on port " + std::to_string(port) + " (" + what + "): " +
                     ec.message();
  if (ec == std::errc::permission_denied && port < 1024)
    text += "; a port below 1024 needs the capability CAP_NET_BIND_SERVICE, which the systemd "
            "unit gives: run the server as that service, as root, or on a port of 1024 or above";
  else if (ec == std::errc::address_in_use)
    text += "; another program, or another TAVO server, listens there: ss -ltnp 'sport = :" +
            std::to_string(port) + "' names it";
  return text;
}

}  // namespace tavo
