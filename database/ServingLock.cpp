#include "database/ServingLock.h"

#include <cctype>

#include "common/StrUtils.h"
#include "database/LinkKeepalives.h"
#include "database/OdbcDatabase.h"
#include "database/ProviderMapping.h"

namespace tavo {

// Two lost probes, and 3 s for unacknowledged data, end the connection.
constexpr TLinkKeepalives kLockLinkKeepalives{1, 1, 2, 3000};
namespace {

// PostgreSQL: the advisory lock (1413568079 = "TAVO", 1) in the current database. The two-key
// form shows in pg_locks as classid, objid and objsubid 2.
constexpr const char* kPgWhere =
    "l.locktype = 'advisory' AND l.classid = 1413568079 AND l.objid = 1 AND l.objsubid = 2 "
    "AND l.granted";

// SQL Server: the application lock's name; the lock shows in sys.dm_tran_locks with it in brackets.
constexpr const char* kAppLock = "N'TAVO_WServer'";

bool IsPg(const TDatabase& db) { return db.Dbms() == TDbmsKind::PostgreSQL; }

int32_t FirstInt(TDatabase& db, const std::string& sql, const char* column,
                 const TSqlParams& params = {}) {
  auto q = db.Open(sql, params);
  if (q->Eof()) throw EDatabaseError(std::string("no row from: ") + sql);
  return q->AsInteger(column);
}

}  // namespace

TServingLock::TServingLock(std::unique_ptr<TDatabase> connection) : db_(std::move(connection)) {
  if (!db_ || (db_->Dbms() != TDbmsKind::PostgreSQL && db_->Dbms() != TDbmsKind::SqlServer))
    throw EDatabaseError(
        "Standby needs PostgreSQL or SQL Server: this database has no lock that two servers share");
}

TServingLock::~TServingLock() = default;

bool TServingLock::TryAcquire() {
  // Taking it again would need two releases; a second hold is never made.
  if (Held()) return true;
  if (IsPg(*db_))
    return FirstInt(*db_,
                    "SELECT CASE WHEN pg_try_advisory_lock(1413568079, 1) THEN 1 ELSE 0 END AS GOT",
                    "GOT") == 1;
  return FirstInt(*db_,
                  std::string("DECLARE @r INT; EXEC @r = sp_getapplock @Resource = ") + kAppLock +
                      ", @LockMode = 'Exclusive', @LockOwner = 'Session', @LockTimeout = 0; "
                      "SELECT @r AS GOT",
                  "GOT") >= 0;
}

bool TServingLock::Held() {
  if (IsPg(*db_))
    return FirstInt(*db_,
                    std::string("SELECT COUNT(*) AS N FROM pg_locks l WHERE ") + kPgWhere +
                        " AND l.pid = pg_backend_pid()",
                    "N") > 0;
  return FirstInt(*db_,
                  std::string("SELECT CASE WHEN APPLOCK_MODE('public', ") + kAppLock +
                      ", 'Session') = 'Exclusive' THEN 1 ELSE 0 END AS N",
                  "N") > 0;
}

void TServingLock::Release() {
  if (IsPg(*db_)) {
    // Every advisory hold of this session, however often it was taken.
    db_->Open("SELECT pg_advisory_unlock_all()");
    return;
  }
  // One release per hold; the holds of one session are few.
  for (int i = 0; i < 16 && Held(); ++i)
    db_->Execute(std::string("EXEC sp_releaseapplock @Resource = ") + kAppLock +
                 ", @LockOwner = 'Session'");
}

std::optional<TLockHolder> TServingLock::Holder() {
  std::unique_ptr<TQuery> q;
  if (IsPg(*db_)) {
    q = db_->Open(std::string(
                      "SELECT l.pid AS BACKEND, CAST(a.query_start AS TEXT) AS HEARTBEAT, "
                      "CASE WHEN l.pid = pg_backend_pid() THEN 1 ELSE 0 END AS MINE "
                      "FROM pg_locks l LEFT JOIN pg_stat_activity a ON a.pid = l.pid WHERE ") +
                  kPgWhere +
                  " AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())");
  } else {
    q = db_->Open(
        "SELECT l.request_session_id AS BACKEND, "
        "CONVERT(VARCHAR(30), s.last_request_start_time, 121) AS HEARTBEAT, "
        "CASE WHEN l.request_session_id = @@SPID THEN 1 ELSE 0 END AS MINE "
        "FROM sys.dm_tran_locks l LEFT JOIN sys.dm_exec_sessions s "
        "ON s.session_id = l.request_session_id "
        "WHERE l.resource_type = 'APPLICATION' AND l.request_owner_type = 'SESSION' "
        "AND l.request_status = 'GRANT' AND l.resource_database_id = DB_ID() "
        "AND l.resource_description LIKE '%[[]TAVO_WServer]%'");
  }
  if (q->Eof()) return std::nullopt;
  TLockHolder h;
  h.Backend = q->AsString("BACKEND");
  h.Heartbeat = q->AsString("HEARTBEAT");
  h.Mine = q->AsInteger("MINE") == 1;
  return h;
}

void TServingLock::EndSession(const std::string& backend) {
  if (backend.empty() || backend.size() > 10)
    throw EDatabaseError("not a session number: " + backend);
  for (char c : backend)
    if (!std::isdigit(static_cast<unsigned char>(c)))
      throw EDatabaseError("not a session number: " + backend);
  if (IsPg(*db_)) {
    // From PostgreSQL 14 on the call waits (up to 2 s) until the session is gone and its lock
    // free; before, it only signals, and the lock follows a moment later.
    if (pgVersion_ == 0)
      pgVersion_ = FirstInt(*db_, "SELECT CAST(current_setting('server_version_num') AS INTEGER) AS V", "V");
    const std::string call = pgVersion_ >= 140000 ? "pg_terminate_backend(CAST(? AS INTEGER), 2000)"
                                                  : "pg_terminate_backend(CAST(? AS INTEGER))";
    if (FirstInt(*db_, "SELECT CASE WHEN " + call + " THEN 1 ELSE 0 END AS DONE", "DONE",
                 {SqlInt(std::stoll(backend))}) != 1)
      throw EDatabaseError("the database did not end session " + backend);
    return;
  }
  db_->Execute("KILL " + backend);  // KILL takes no parameter; the number was checked above
}

std::string WithLockKeepalives(const std::string& odbc) {
  return WithLinkKeepalives(odbc, kLockLinkKeepalives);
}

std::unique_ptr<TDatabase> OpenSharedConnection(const std::string& connectionString,
                                                     const std::string& programDir) {
  const TBackendTarget target = MapConnectionString(connectionString, programDir);
  if (target.Kind == TBackendTarget::SQLite)
    throw EDatabaseError(
        "Standby needs a database server both servers share (PostgreSQL or SQL Server); an "
        "SQLite file cannot be shared");
  std::unique_ptr<TOdbcDatabase> db = OpenWithLinkKeepalives(target.OdbcConnection,
                                                             kLockLinkKeepalives);
  if (db->Dbms() == TDbmsKind::PostgreSQL) {
    // The server's side of the same: a session whose client is gone ends within about 4 s,
    // after the other server has ended it for standing still (3 s) if it watches.
    db->Execute("SET tcp_keepalives_idle = 2");
    db->Execute("SET tcp_keepalives_interval = 1");
    db->Execute("SET tcp_keepalives_count = 2");
    try {
      db->Execute("SET tcp_user_timeout = 4000");
    } catch (const EDatabaseError&) {
      // Before PostgreSQL 12 there is no such setting; the keepalives still end the session.
    }
  }
  return db;
}

}  // namespace tavo
