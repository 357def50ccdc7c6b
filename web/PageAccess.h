// Who may open the pages: with the registry value "WebDisplayToken" set, a request must carry
// that token as ?token=, as the cookie "tavo_token" or as "Authorization: Bearer". Compared
// through digests of equal length in constant time, so the time of an answer tells nothing
// of the token or its length.
#pragma once

#include <string>

namespace tavo {

inline constexpr const char* kTokenCookie = "tavo_token";

// What a request offers; empty where it offers nothing.
struct TOfferedToken {
  std::string Query;
  std::string Cookie;
  std::string Authorization;  // the whole header value
};

// True when no token is required or one of the offered ones equals it.
bool TokenAccepted(const std::string& required, const TOfferedToken& offered);
// Constant-time equality of two texts of any length.
bool SameSecret(const std::string& a, const std::string& b);
// True when the token can travel as a cookie value unchanged.
bool CookieSafe(const std::string& token);

}  // namespace tavo
