#include "tools/hub/event_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <system_error>

namespace hub {

namespace {

// "ORML": marks the file as ours (SQLite's application_id header field); kSchema is the layout's version.
constexpr int kApplicationId = 0x4F524D4C;
constexpr int kSchema = 1;
constexpr int kBusyTimeoutMs = 2000;

struct TDbClose {
  void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
struct TStmtFinalize {
  void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using TDb = std::unique_ptr<sqlite3, TDbClose>;
using TStmt = std::unique_ptr<sqlite3_stmt, TStmtFinalize>;

// Resets a statement after use, whatever path the use took, so that it holds no read lock on the file.
class TStmtUse {
public:
  explicit TStmtUse(sqlite3_stmt *s) : s_(s) {}
  ~TStmtUse() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  TStmtUse(const TStmtUse &) = delete;
  TStmtUse &operator=(const TStmtUse &) = delete;

private:
  sqlite3_stmt *s_;
};

constexpr const char *kCreate = "CREATE TABLE IF NOT EXISTS events("
                                "id INTEGER PRIMARY KEY, start_ms INTEGER NOT NULL, end_ms INTEGER, "
                                "closed INTEGER NOT NULL, peak_level INTEGER NOT NULL, peak_score REAL, "
                                "azimuth_start REAL, azimuth_median REAL, azimuth_end REAL, saved_ms INTEGER NOT NULL);"
                                "CREATE INDEX IF NOT EXISTS events_start ON events(start_ms);";
// NULL id: SQLite picks the next row id.
constexpr const char *kSave = "INSERT OR REPLACE INTO events(id, start_ms, end_ms, closed, peak_level, peak_score, "
                              "azimuth_start, azimuth_median, azimuth_end, saved_ms) VALUES(?,?,?,?,?,?,?,?,?,?)";
constexpr const char *kSince = "SELECT * FROM (SELECT id, start_ms, end_ms, closed, peak_level, peak_score, "
                               "azimuth_start, azimuth_median, azimuth_end FROM events WHERE start_ms >= ? "
                               "ORDER BY start_ms DESC, id DESC LIMIT ?) ORDER BY start_ms, id";
constexpr const char *kCount = "SELECT COUNT(*) FROM events";
constexpr const char *kPrune = "DELETE FROM events WHERE closed = 1 AND end_ms < ?";
// An event still open in the file was left by a run that stopped without closing it: it ends where the alert
// fell if that was known, else at its last save, the last moment the run is known to have been alive.
constexpr const char *kCloseLeftOpen =
    "UPDATE events SET closed = 1, end_ms = MAX(start_ms, COALESCE(end_ms, saved_ms)) WHERE closed = 0";

std::int64_t ToMs(SysClock::time_point t) {
  return std::chrono::floor<std::chrono::milliseconds>(t).time_since_epoch().count();
}

// Clamped to the clock's range: a row edited by hand must not overflow the conversion.
SysClock::time_point FromMs(std::int64_t ms) {
  constexpr std::int64_t kMax =
      std::chrono::duration_cast<std::chrono::milliseconds>(SysClock::duration::max()).count();
  constexpr std::int64_t kMin =
      std::chrono::duration_cast<std::chrono::milliseconds>(SysClock::duration::min()).count();
  return SysClock::time_point(std::chrono::milliseconds(std::clamp(ms, kMin, kMax)));
}

void BindReal(sqlite3_stmt *s, int column, double v) {
  if (std::isfinite(v)) {
    sqlite3_bind_double(s, column, v);
  } else {
    sqlite3_bind_null(s, column);
  }
}

double ColumnReal(sqlite3_stmt *s, int column) {
  return sqlite3_column_type(s, column) == SQLITE_NULL ? std::numeric_limits<double>::quiet_NaN()
                                                       : sqlite3_column_double(s, column);
}

} // namespace

struct TEventStore::TImpl {
  std::string path;
  mutable std::mutex mutex;
  // Declared before the statements: they must be finalised before the connection closes.
  TDb db;
  TStmt save;
  TStmt since;
  TStmt count;
  TStmt prune;

  std::string Error(const std::string &what) const { return path + ": " + what + ": " + sqlite3_errmsg(db.get()); }

  bool Exec(const char *sql, const std::string &what, std::string &error) const {
    if (sqlite3_exec(db.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
      error = Error(what);
      return false;
    }
    return true;
  }

  bool Prepare(const char *sql, TStmt &out, std::string &error) const {
    sqlite3_stmt *raw = nullptr;
    const int rc = sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    out.reset(raw);
    if (rc != SQLITE_OK) {
      error = Error("cannot prepare a statement");
      return false;
    }
    return true;
  }

  // A single-integer pragma; the first read of the file, so a non-database file fails here.
  bool PragmaInt(const char *sql, int &value, std::string &error) const {
    TStmt s;
    if (!Prepare(sql, s, error)) {
      if (sqlite3_errcode(db.get()) == SQLITE_NOTADB) {
        error = path + ": file is not a database";
      }
      return false;
    }
    if (sqlite3_step(s.get()) != SQLITE_ROW) {
      error = sqlite3_errcode(db.get()) == SQLITE_NOTADB ? path + ": file is not a database"
                                                         : Error("cannot read the database header");
      return false;
    }
    value = sqlite3_column_int(s.get(), 0);
    return true;
  }

  // Makes a new file ours, or checks that an existing one is.
  bool CheckOrCreateSchema(std::string &error) const {
    int appId = 0;
    int version = 0;
    int tables = 0;
    if (!PragmaInt("PRAGMA application_id", appId, error) || !PragmaInt("PRAGMA user_version", version, error) ||
        !PragmaInt("SELECT COUNT(*) FROM sqlite_master", tables, error)) {
      return false;
    }
    if (appId == 0 && version == 0 && tables == 0) {
      const std::string create = std::string("BEGIN;") + kCreate +
                                 "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                 ";PRAGMA user_version = " + std::to_string(kSchema) + ";COMMIT;";
      if (!Exec(create.c_str(), "cannot create the event table", error)) {
        sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
      }
      return true;
    }
    if (appId != kApplicationId) {
      error = path + ": not an Ormelin event database";
      return false;
    }
    if (version != kSchema) {
      error = path + ": Ormelin event database of layout " + std::to_string(version) + ", this hub reads layout " +
              std::to_string(kSchema);
      return false;
    }
    return true;
  }
};

TEventStore::TEventStore() : impl_(std::make_unique<TImpl>()) {}

TEventStore::~TEventStore() = default;

std::unique_ptr<TEventStore> TEventStore::Open(const std::string &path, std::string &error) {
  if (path.empty()) {
    error = "no event database file given";
    return nullptr;
  }
  // SQLite would only say "unable to open database file"; the missing folder is the usual reason.
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  std::error_code ec;
  if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
    error = "cannot open " + path + ": folder " + parent.string() + " does not exist";
    return nullptr;
  }
  std::unique_ptr<TEventStore> store(new TEventStore());
  TImpl &m = *store->impl_;
  m.path = path;
  sqlite3 *raw = nullptr;
  // The store's own mutex serialises every use, so SQLite's per-connection mutex is not needed.
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  m.db.reset(raw);
  if (rc != SQLITE_OK) {
    error = "cannot open " + path + ": " + (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    return nullptr;
  }
  sqlite3_busy_timeout(raw, kBusyTimeoutMs);
  if (!m.CheckOrCreateSchema(error)) {
    return nullptr;
  }
  // WAL lets the HTTP threads' reads (and an operator's sqlite3 shell) run beside the writes. Where the file
  // system cannot do it, SQLite keeps its rollback journal, which is slower but correct.
  sqlite3_exec(raw, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
  if (!m.Exec(kCloseLeftOpen, "cannot close the events a previous run left open", error) ||
      !m.Prepare(kSave, m.save, error) || !m.Prepare(kSince, m.since, error) || !m.Prepare(kCount, m.count, error) ||
      !m.Prepare(kPrune, m.prune, error)) {
    return nullptr;
  }
  return store;
}

bool TEventStore::Save(TDetectionEvent &event, std::string &error) {
  if (event.id < 0) {
    error = impl_->path + ": cannot save event " + std::to_string(event.id) + ": not an event id";
    return false;
  }
  const std::lock_guard lock(impl_->mutex);
  sqlite3_stmt *s = impl_->save.get();
  const TStmtUse use(s);
  if (event.id == 0) {
    sqlite3_bind_null(s, 1);
  } else {
    sqlite3_bind_int64(s, 1, event.id);
  }
  sqlite3_bind_int64(s, 2, ToMs(event.start));
  // An open event's end is where the alert fell below, while it waits for the close delay; the default time
  // means it has not fallen.
  if (event.closed || event.end != SysClock::time_point{}) {
    sqlite3_bind_int64(s, 3, ToMs(event.end));
  } else {
    sqlite3_bind_null(s, 3);
  }
  sqlite3_bind_int(s, 4, event.closed ? 1 : 0);
  sqlite3_bind_int(s, 5, event.peakLevel);
  BindReal(s, 6, event.peakScore);
  BindReal(s, 7, event.azimuthStart);
  BindReal(s, 8, event.azimuthMedian);
  BindReal(s, 9, event.azimuthEnd);
  sqlite3_bind_int64(s, 10, ToMs(SysClock::now()));
  if (sqlite3_step(s) != SQLITE_DONE) {
    error = impl_->Error("cannot save event " + std::to_string(event.id));
    return false;
  }
  event.id = sqlite3_last_insert_rowid(impl_->db.get());
  return true;
}

std::vector<TDetectionEvent> TEventStore::Since(SysClock::time_point since, std::size_t limit,
                                                std::string &error) const {
  std::vector<TDetectionEvent> events;
  if (limit == 0) {
    return events;
  }
  const std::lock_guard lock(impl_->mutex);
  sqlite3_stmt *s = impl_->since.get();
  const TStmtUse use(s);
  sqlite3_bind_int64(s, 1, ToMs(since));
  constexpr auto kMaxLimit = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
  sqlite3_bind_int64(s, 2, static_cast<std::int64_t>(std::min(limit, kMaxLimit)));
  int rc = 0;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    TDetectionEvent e;
    e.id = sqlite3_column_int64(s, 0);
    e.start = FromMs(sqlite3_column_int64(s, 1));
    if (sqlite3_column_type(s, 2) != SQLITE_NULL) {
      e.end = FromMs(sqlite3_column_int64(s, 2));
    }
    e.closed = sqlite3_column_int(s, 3) != 0;
    e.peakLevel = sqlite3_column_int(s, 4);
    e.peakScore = ColumnReal(s, 5);
    e.azimuthStart = ColumnReal(s, 6);
    e.azimuthMedian = ColumnReal(s, 7);
    e.azimuthEnd = ColumnReal(s, 8);
    events.push_back(e);
  }
  if (rc != SQLITE_DONE) {
    error = impl_->Error("cannot read events");
    events.clear();
  }
  return events;
}

std::int64_t TEventStore::Count() const {
  const std::lock_guard lock(impl_->mutex);
  sqlite3_stmt *s = impl_->count.get();
  const TStmtUse use(s);
  // -1 when the file cannot be read: the metrics show it rather than a plausible 0.
  return sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
}

std::int64_t TEventStore::Prune(SysClock::time_point before, std::string &error) {
  const std::lock_guard lock(impl_->mutex);
  sqlite3_stmt *s = impl_->prune.get();
  const TStmtUse use(s);
  sqlite3_bind_int64(s, 1, ToMs(before));
  if (sqlite3_step(s) != SQLITE_DONE) {
    error = impl_->Error("cannot delete old events");
    return -1;
  }
  return sqlite3_changes64(impl_->db.get());
}

} // namespace hub
