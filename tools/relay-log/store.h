// relay-log's database: SQLite in WAL mode, each message stored in one
// transaction that is on disk (synchronous=FULL) before the broker hears
// that the message arrived. The schema carries its version in PRAGMA
// user_version; a database of a newer version is refused, never altered.
//
//   laps   (car, session, lap) -> driver, time, fuelUsed, pit, caution,
//          counted, position, classPosition, incidents, sessionTime
//   pits   (car, session, lap, pitIn) -> driver, pitOut, stationary,
//          fuelAdded
//   cars   (car) -> session, the session of the car's newest message
//
// The keys make a lap or stop that comes again (a redelivery, a bridge that
// reconnected and sent it twice) replace its row, never add one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "relay-log/race_log.h"

struct sqlite3;

namespace race_log {

inline constexpr int kSchemaVersion = 1;

struct CarSession {
  std::string car;
  std::string session;
};

class Store {
 public:
  Store() = default;
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Opens the database at `path`: `writable`, making it (with the schema)
  // when missing; else read only, for an export, and it must hold a race
  // log. False with one line in `error` (it cannot be opened or written, it
  // is not relay-log's, or a newer relay-log's).
  bool Open(const std::string& path, bool writable, std::string* error);

  // Each in one transaction: the row, and the car's current session.
  bool PutLap(const std::string& car, const Lap& lap, std::string* error);
  bool PutPit(const std::string& car, const Pit& pit, std::string* error);

  // The car's laps and stops in `session`.
  bool ReadLog(const std::string& car, const std::string& session, CarLog* log, std::string* error);
  // Every car, with its current session.
  bool ReadCars(std::vector<CarSession>* cars, std::string* error);
  // Every lap by car, session and lap number, of `car` and `session` only
  // when they are not empty.
  bool ReadLaps(const std::string& car, const std::string& session,
                const std::function<void(const std::string& car, const Lap& lap)>& visit,
                std::string* error);
  bool Count(long* laps, long* pits, long* cars, std::string* error);

 private:
  bool Execute(const char* sql, std::string* error);
  bool Put(const std::function<bool()>& write, const std::string& car, const std::string& session,
           std::string* error);
  std::string Problem(const char* doing) const;

  sqlite3* db_ = nullptr;
  std::string path_;
};

}  // namespace race_log
