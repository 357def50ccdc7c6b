#include "common/StrUtils.h"
#include "database/ProviderMapping.h"

#include <cctype>

#include "common/Win1252.h"
#include "database/LinkKeepalives.h"
#include "database/OdbcDatabase.h"
#include "database/SqliteDatabase.h"

namespace tavo {
namespace {

std::string Lower(std::string s) { return LowerAscii(std::move(s)); }

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "SQLOLEDB.1" -> "sqloledb"; "Microsoft.Jet.OLEDB.4.0" -> "microsoft.jet.oledb".
std::string ProviderBase(const std::string& provider) {
  std::string p = Lower(Trim(provider));
  for (;;) {
    size_t dot = p.rfind('.');
    if (dot == std::string::npos || dot + 1 == p.size()) break;
    bool digits = true;
    for (size_t i = dot + 1; i < p.size(); ++i)
      if (!std::isdigit(static_cast<unsigned char>(p[i]))) digits = false;
    if (!digits) break;
    p.resize(dot);
  }
  return p;
}

class TOleDbPairs {
 public:
  explicit TOleDbPairs(const std::string& text) : pairs_(ParseOleDbString(text)) {}
  // The first value of a key, keys matching without regard to case.
  std::string Get(const std::string& key) const {
    std::string k = Lower(key);
    for (const auto& [name, value] : pairs_)
      if (Lower(name) == k) return value;
    return {};
  }
  bool Has(const std::string& key) const {
    std::string k = Lower(key);
    for (const auto& p : pairs_)
      if (Lower(p.first) == k) return true;
    return false;
  }

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// An ODBC attribute value, in braces when it holds characters the syntax reserves.
std::string OdbcValue(const std::string& v) {
  bool plain = v.find_first_of(";{}=") == std::string::npos &&
               (v.empty() || (v.front() != ' ' && v.back() != ' '));
  if (plain) return v;
  std::string out = "{";
  for (char c : v) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

bool OdbcHasKey(const std::string& odbc, const char* key) {
  for (const auto& p : ParseOleDbString(odbc))
    if (Lower(p.first) == Lower(key)) return true;
  return false;
}

std::string FreeTdsString(const TOleDbPairs& p) {
  std::string server = p.Get("Data Source");
  std::string port;
  if (StartsWith(Lower(server), "tcp:")) server = server.substr(4);
  size_t comma = server.find(',');
  if (comma != std::string::npos) {
    port = Trim(server.substr(comma + 1));
    server = Trim(server.substr(0, comma));
  }
  if (server == "." || Lower(server) == "(local)" || Lower(server) == "(localdb)")
    server = "localhost";
  std::string s = "DRIVER={FreeTDS};SERVER=" + OdbcValue(server) + ";";
  if (!port.empty()) s += "PORT=" + OdbcValue(port) + ";";
  if (p.Has("Initial Catalog")) s += "DATABASE=" + OdbcValue(p.Get("Initial Catalog")) + ";";
  if (p.Has("User ID")) s += "UID=" + OdbcValue(p.Get("User ID")) + ";";
  if (p.Has("Password")) s += "PWD=" + OdbcValue(p.Get("Password")) + ";";
  return s;
}

std::string MsdasqlString(const TOleDbPairs& p) {
  std::string s = Trim(p.Get("Extended Properties"));
  if (!s.empty() && s.back() != ';') s += ';';
  if (!OdbcHasKey(s, "DSN") && !OdbcHasKey(s, "DRIVER") && !OdbcHasKey(s, "FILEDSN")) {
    if (!p.Has("Data Source"))
      throw EDatabaseError("The data-link file names neither an ODBC data source nor a driver");
    s = "DSN=" + OdbcValue(p.Get("Data Source")) + ";" + s;
  }
  if (p.Has("Initial Catalog") && !OdbcHasKey(s, "DATABASE"))
    s += "DATABASE=" + OdbcValue(p.Get("Initial Catalog")) + ";";
  if (p.Has("User ID") && !OdbcHasKey(s, "UID"))
    s += "UID=" + OdbcValue(p.Get("User ID")) + ";";
  if (p.Has("Password") && !OdbcHasKey(s, "PWD"))
    s += "PWD=" + OdbcValue(p.Get("Password")) + ";";
  return s;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> ParseOleDbString(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    size_t eq = text.find('=', i);
    size_t semi = text.find(';', i);
    if (eq == std::string::npos || (semi != std::string::npos && semi < eq)) {
      // A piece without "=": nothing to take from it.
      if (semi == std::string::npos) break;
      i = semi + 1;
      continue;
    }
    std::string key = Trim(text.substr(i, eq - i));
    i = eq + 1;
    while (i < n && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    std::string value;
    if (i < n && (text[i] == '"' || text[i] == '\'' || text[i] == '{')) {
      char open = text[i];
      char close = open == '{' ? '}' : open;
      ++i;
      while (i < n) {
        if (text[i] == close) {
          if (i + 1 < n && text[i + 1] == close) {  // doubled: one literal quote
            value += close;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += text[i++];
      }
      size_t next = text.find(';', i);
      i = next == std::string::npos ? n : next + 1;
    } else {
      size_t next = text.find(';', i);
      size_t end = next == std::string::npos ? n : next;
      value = Trim(text.substr(i, end - i));
      i = next == std::string::npos ? n : next + 1;
    }
    if (!key.empty()) out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

TBackendTarget MapConnectionString(const std::string& connectionString,
                                   const std::string& programDir) {
  TOleDbPairs p(connectionString);
  std::string provider = p.Get("Provider");
  std::string base = ProviderBase(provider);
  TBackendTarget t;
  if (base.empty())
    throw EDatabaseError("No database provider is named (check the data-link file)");
  if (StartsWith(base, "microsoft.jet.oledb") || StartsWith(base, "microsoft.ace.oledb"))
    throw EDatabaseError("Access database files cannot be opened by this server (provider " +
                         Trim(provider) +
                         "); convert the Access file to SQLite and name it in the data-link "
                         "file with Provider=SQLite");
  if (base == "sqlite") {
    std::string file = p.Get("Data Source");
    if (file.empty()) throw EDatabaseError("The data-link file names no SQLite database file");
    if (file.front() != '/') file = programDir + file;
    t.Kind = TBackendTarget::SQLite;
    t.SqliteFile = AnsiToUtf8(file);
    return t;
  }
  t.Kind = TBackendTarget::Odbc;
  if (base == "sqloledb" || StartsWith(base, "sqlncli") || StartsWith(base, "msoledbsql")) {
    t.OdbcConnection = FreeTdsString(p);
    return t;
  }
  if (base == "msdasql") {
    t.OdbcConnection = MsdasqlString(p);
    return t;
  }
  throw EDatabaseError("The database provider " + Trim(provider) + " is not supported");
}

std::unique_ptr<TDatabase> OpenDatabase(const std::string& connectionString,
                                        const std::string& programDir, TLogging* log,
                                        bool createIfMissing) {
  TBackendTarget t = MapConnectionString(connectionString, programDir);
  if (t.Kind == TBackendTarget::SQLite)
    return std::make_unique<TSqliteDatabase>(t.SqliteFile, log, createIfMissing);
  return OpenWithLinkKeepalives(t.OdbcConnection, kServerLinkKeepalives);
}

}  // namespace tavo
