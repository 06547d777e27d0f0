// The SQLite store, through SQLite's C API.
#include "relay-log/store.h"

#include <sqlite3.h>

#include <optional>

namespace race_log {

namespace {

constexpr char kSchema[] = R"(
CREATE TABLE laps (
  car TEXT NOT NULL,
  session TEXT NOT NULL,
  lap INTEGER NOT NULL,
  driver TEXT NOT NULL,
  time REAL,
  fuelUsed REAL,
  pit INTEGER NOT NULL,
  caution INTEGER NOT NULL,
  counted INTEGER NOT NULL,
  position INTEGER,
  classPosition INTEGER,
  incidents INTEGER,
  sessionTime REAL,
  PRIMARY KEY (car, session, lap)
) WITHOUT ROWID;
CREATE TABLE pits (
  car TEXT NOT NULL,
  session TEXT NOT NULL,
  lap INTEGER NOT NULL,
  pitIn REAL NOT NULL,
  driver TEXT NOT NULL,
  pitOut REAL,
  stationary REAL,
  fuelAdded REAL,
  PRIMARY KEY (car, session, lap, pitIn)
) WITHOUT ROWID;
CREATE TABLE cars (
  car TEXT NOT NULL PRIMARY KEY,
  session TEXT NOT NULL
) WITHOUT ROWID;
PRAGMA user_version = 1;
)";

// How long a write waits for another connection's lock (an export's
// checkpoint, or a second relay-log on the same file) before it fails.
constexpr int kBusyMilliseconds = 2000;

// A prepared statement, finalized when it goes.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    ok_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) == SQLITE_OK;
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return ok_; }
  int Step() { return sqlite3_step(statement_); }
  // Runs a statement that returns no rows.
  bool Run() { return ok_ && Step() == SQLITE_DONE; }

  void Bind(int at, const std::string& text) {
    sqlite3_bind_text(statement_, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  void Bind(int at, int value) { sqlite3_bind_int(statement_, at, value); }
  void Bind(int at, bool value) { sqlite3_bind_int(statement_, at, value ? 1 : 0); }
  void Bind(int at, double value) { sqlite3_bind_double(statement_, at, value); }
  void Bind(int at, const std::optional<int>& value) {
    if (value) return Bind(at, *value);
    sqlite3_bind_null(statement_, at);
  }
  void Bind(int at, const std::optional<double>& value) {
    if (value) return Bind(at, *value);
    sqlite3_bind_null(statement_, at);
  }
  // Empty text binds null.
  void BindFilter(int at, const std::string& text) {
    if (!text.empty()) return Bind(at, text);
    sqlite3_bind_null(statement_, at);
  }

  std::string Text(int column) {
    const auto* text = sqlite3_column_text(statement_, column);
    if (text == nullptr) return "";
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }
  long Long(int column) { return static_cast<long>(sqlite3_column_int64(statement_, column)); }
  int Int(int column) { return sqlite3_column_int(statement_, column); }
  double Real(int column) { return sqlite3_column_double(statement_, column); }
  std::optional<int> OptionalInt(int column) {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return Int(column);
  }
  std::optional<double> OptionalReal(int column) {
    if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
    return Real(column);
  }

 private:
  sqlite3_stmt* statement_ = nullptr;
  bool ok_ = false;
};

// The lap columns in the order ReadLap takes them, from `first` on.
constexpr char kLapColumns[] =
    "lap, driver, time, fuelUsed, pit, caution, counted, position, classPosition, incidents, "
    "sessionTime";

Lap ReadLapRow(Statement& row, int first, const std::string& session) {
  Lap lap;
  lap.session = session;
  lap.lap = row.Int(first);
  lap.driver = row.Text(first + 1);
  lap.time = row.OptionalReal(first + 2);
  lap.fuelUsed = row.OptionalReal(first + 3);
  lap.pit = row.Int(first + 4) != 0;
  lap.caution = row.Int(first + 5) != 0;
  lap.counted = row.Int(first + 6) != 0;
  lap.position = row.OptionalInt(first + 7);
  lap.classPosition = row.OptionalInt(first + 8);
  lap.incidents = row.OptionalInt(first + 9);
  lap.sessionTime = row.OptionalReal(first + 10);
  return lap;
}

}  // namespace

Store::~Store() {
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string Store::Problem(const char* doing) const {
  return std::string("cannot ") + doing + " the database " + path_ + ": " +
         (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
}

bool Store::Execute(const char* sql, std::string* error) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
  *error = Problem("write");
  return false;
}

bool Store::Open(const std::string& path, bool writable, std::string* error) {
  path_ = path;
  const int flags = writable ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    *error = Problem("open");
    return false;
  }
  sqlite3_busy_timeout(db_, kBusyMilliseconds);
  // SQLite opens a file it may not write read-only without a word.
  if (writable && sqlite3_db_readonly(db_, "main") == 1) {
    *error = "cannot write the database " + path + ": the file is read-only";
    return false;
  }
  const auto readVersion = [&](int* version) {
    Statement statement(db_, "PRAGMA user_version");
    if (!statement.ok() || statement.Step() != SQLITE_ROW) {
      *error = Problem("open");
      return false;
    }
    *version = statement.Int(0);
    return true;
  };
  int version = 0;
  if (!readVersion(&version)) return false;
  if (version > kSchemaVersion) {
    *error = path + " is the database of a newer relay-log (schema version " +
             std::to_string(version) + "; this one knows " + std::to_string(kSchemaVersion) + ")";
    return false;
  }
  if (!writable) {
    if (version == kSchemaVersion) return true;
    *error = path + " holds no race log";
    return false;
  }
  // A new database; but not someone else's that happens to be SQLite,
  // which is left as it was.
  if (version == 0) {
    Statement count(db_, "SELECT count(*) FROM sqlite_master");
    if (!count.ok() || count.Step() != SQLITE_ROW) {
      *error = Problem("open");
      return false;
    }
    if (count.Int(0) > 0) {
      *error = path + " is not relay-log's database (it holds other tables)";
      return false;
    }
  }
  {
    Statement mode(db_, "PRAGMA journal_mode=WAL");
    if (!mode.ok() || mode.Step() != SQLITE_ROW) {
      *error = Problem("write");
      return false;
    }
    if (mode.Text(0) != "wal") {
      *error = "cannot write the database " + path + ": it cannot be switched to WAL";
      return false;
    }
  }
  // In WAL mode NORMAL would keep the last commits only in the WAL file
  // until a checkpoint, and a power cut could lose laps already
  // acknowledged to the broker.
  if (!Execute("PRAGMA synchronous=FULL", error)) return false;
  if (version == kSchemaVersion) return true;
  // The schema, unless another relay-log made it meanwhile: the version is
  // read again inside the transaction.
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  std::string ignored;
  if (!readVersion(&version)) {
    Execute("ROLLBACK", &ignored);
    return false;
  }
  if (version == 0 && !Execute(kSchema, error)) {
    Execute("ROLLBACK", &ignored);
    return false;
  }
  return Execute("COMMIT", error);
}

bool Store::Put(const std::function<bool()>& write, const std::string& car,
                const std::string& session, std::string* error) {
  if (!Execute("BEGIN IMMEDIATE", error)) return false;
  Statement current(db_,
                    "INSERT INTO cars (car, session) VALUES (?1, ?2) "
                    "ON CONFLICT (car) DO UPDATE SET session = excluded.session");
  current.Bind(1, car);
  current.Bind(2, session);
  if (!write() || !current.Run() || sqlite3_get_autocommit(db_) != 0) {
    *error = Problem("write");
    std::string ignored;
    Execute("ROLLBACK", &ignored);
    return false;
  }
  return Execute("COMMIT", error);
}

bool Store::PutLap(const std::string& car, const Lap& lap, std::string* error) {
  return Put(
      [&] {
        Statement row(
            db_,
            "INSERT OR REPLACE INTO laps (car, session, lap, driver, time, fuelUsed, pit, "
            "caution, counted, position, classPosition, incidents, sessionTime) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13)");
        row.Bind(1, car);
        row.Bind(2, lap.session);
        row.Bind(3, lap.lap);
        row.Bind(4, lap.driver);
        row.Bind(5, lap.time);
        row.Bind(6, lap.fuelUsed);
        row.Bind(7, lap.pit);
        row.Bind(8, lap.caution);
        row.Bind(9, lap.counted);
        row.Bind(10, lap.position);
        row.Bind(11, lap.classPosition);
        row.Bind(12, lap.incidents);
        row.Bind(13, lap.sessionTime);
        return row.Run();
      },
      car, lap.session, error);
}

bool Store::PutPit(const std::string& car, const Pit& pit, std::string* error) {
  return Put(
      [&] {
        Statement row(db_,
                      "INSERT OR REPLACE INTO pits (car, session, lap, pitIn, driver, pitOut, "
                      "stationary, fuelAdded) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
        row.Bind(1, car);
        row.Bind(2, pit.session);
        row.Bind(3, pit.lap);
        row.Bind(4, pit.pitIn);
        row.Bind(5, pit.driver);
        row.Bind(6, pit.pitOut);
        row.Bind(7, pit.stationary);
        row.Bind(8, pit.fuelAdded);
        return row.Run();
      },
      car, pit.session, error);
}

bool Store::ReadLog(const std::string& car, const std::string& session, CarLog* log,
                    std::string* error) {
  log->session = session;
  log->laps.clear();
  log->pits.clear();
  Statement laps(db_, (std::string("SELECT ") + kLapColumns +
                       " FROM laps WHERE car = ?1 AND session = ?2 ORDER BY lap")
                          .c_str());
  laps.Bind(1, car);
  laps.Bind(2, session);
  int step = laps.ok() ? laps.Step() : SQLITE_ERROR;
  for (; step == SQLITE_ROW; step = laps.Step()) log->laps.push_back(ReadLapRow(laps, 0, session));
  if (step != SQLITE_DONE) {
    *error = Problem("read");
    return false;
  }
  Statement pits(db_,
                 "SELECT lap, pitIn, driver, pitOut, stationary, fuelAdded FROM pits "
                 "WHERE car = ?1 AND session = ?2 ORDER BY lap, pitIn");
  pits.Bind(1, car);
  pits.Bind(2, session);
  step = pits.ok() ? pits.Step() : SQLITE_ERROR;
  for (; step == SQLITE_ROW; step = pits.Step()) {
    Pit pit;
    pit.session = session;
    pit.lap = pits.Int(0);
    pit.pitIn = pits.Real(1);
    pit.driver = pits.Text(2);
    pit.pitOut = pits.OptionalReal(3);
    pit.stationary = pits.OptionalReal(4);
    pit.fuelAdded = pits.OptionalReal(5);
    log->pits.push_back(std::move(pit));
  }
  if (step != SQLITE_DONE) {
    *error = Problem("read");
    return false;
  }
  return true;
}

bool Store::ReadCars(std::vector<CarSession>* cars, std::string* error) {
  cars->clear();
  Statement rows(db_, "SELECT car, session FROM cars ORDER BY car");
  int step = rows.ok() ? rows.Step() : SQLITE_ERROR;
  for (; step == SQLITE_ROW; step = rows.Step()) cars->push_back({rows.Text(0), rows.Text(1)});
  if (step == SQLITE_DONE) return true;
  *error = Problem("read");
  return false;
}

bool Store::ReadLaps(const std::string& car, const std::string& session,
                     const std::function<void(const std::string& car, const Lap& lap)>& visit,
                     std::string* error) {
  Statement rows(db_, (std::string("SELECT car, session, ") + kLapColumns +
                       " FROM laps WHERE (?1 IS NULL OR car = ?1) AND (?2 IS NULL OR "
                       "session = ?2) ORDER BY car, session, lap")
                          .c_str());
  rows.BindFilter(1, car);
  rows.BindFilter(2, session);
  int step = rows.ok() ? rows.Step() : SQLITE_ERROR;
  for (; step == SQLITE_ROW; step = rows.Step())
    visit(rows.Text(0), ReadLapRow(rows, 2, rows.Text(1)));
  if (step == SQLITE_DONE) return true;
  *error = Problem("read");
  return false;
}

bool Store::Count(long* laps, long* pits, long* cars, std::string* error) {
  Statement counts(db_,
                   "SELECT (SELECT count(*) FROM laps), (SELECT count(*) FROM pits), "
                   "(SELECT count(*) FROM cars)");
  if (!counts.ok() || counts.Step() != SQLITE_ROW) {
    *error = Problem("read");
    return false;
  }
  *laps = counts.Long(0);
  *pits = counts.Long(1);
  *cars = counts.Long(2);
  return true;
}

}  // namespace race_log
