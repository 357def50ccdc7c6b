#include "database/LinkKeepalives.h"

#include "common/StrUtils.h"

namespace tavo {

std::string WithLinkKeepalives(const std::string& odbc, const TLinkKeepalives& k) {
  std::string s = Trim(odbc);
  if (!s.empty() && s.back() != ';') s += ';';
  const std::string lower = LowerAscii(s);
  if (lower.find("keepalivetime=") == std::string::npos)
    s += "KeepaliveTime=" + std::to_string(k.IdleSeconds) + ";";
  if (lower.find("keepaliveinterval=") == std::string::npos)
    s += "KeepaliveInterval=" + std::to_string(k.IntervalSeconds) + ";";
  // libpq's own options, which psqlODBC passes on.
  if (lower.find("pqopt=") == std::string::npos)
    s += "pqopt={keepalives_count=" + std::to_string(k.Count) +
         " tcp_user_timeout=" + std::to_string(k.UserTimeoutMs) + "};";
  return s;
}

std::unique_ptr<TOdbcDatabase> OpenWithLinkKeepalives(const std::string& odbc,
                                                     const TLinkKeepalives& k) {
  auto db = std::make_unique<TOdbcDatabase>(odbc);
  if (db->Dbms() != TDbmsKind::PostgreSQL) return db;
  const std::string withKeepalives = WithLinkKeepalives(odbc, k);
  if (withKeepalives == odbc) return db;
  db.reset();
  return std::make_unique<TOdbcDatabase>(withKeepalives);
}

}  // namespace tavo
