#include "web/PageAccess.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

namespace tavo {

bool SameSecret(const std::string& a, const std::string& b) {
  unsigned char da[SHA256_DIGEST_LENGTH], db[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(a.data()), a.size(), da);
  SHA256(reinterpret_cast<const unsigned char*>(b.data()), b.size(), db);
  return CRYPTO_memcmp(da, db, sizeof da) == 0;
}

bool TokenAccepted(const std::string& required, const TOfferedToken& offered) {
  if (required.empty()) return true;
  static const std::string kBearer = "Bearer ";
  const std::string bearer = offered.Authorization.compare(0, kBearer.size(), kBearer) == 0
                                 ? offered.Authorization.substr(kBearer.size())
                                 : std::string();
  // Every offer is compared, so the answer takes as long whichever one matches.
  const bool query = !offered.Query.empty() && SameSecret(required, offered.Query);
  const bool cookie = !offered.Cookie.empty() && SameSecret(required, offered.Cookie);
  const bool header = !bearer.empty() && SameSecret(required, bearer);
  return query || cookie || header;
}

bool CookieSafe(const std::string& token) {
  for (unsigned char c : token)
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == ',' || c == ';' || c == '\\') return false;
  return !token.empty();
}

}  // namespace tavo
