// Taking messages in, and publishing the logs.
#include "relay-log/keeper.h"

#include "console/printable.h"
#include "relay-log/race_log.h"

namespace race_log {

namespace {

std::string Counted(std::size_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

TopicKind Classify(std::string_view topic, std::string* car) {
  const std::size_t slash = topic.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return TopicKind::kOther;
  const std::string_view last = topic.substr(slash + 1);
  const TopicKind kind = last == "lap"   ? TopicKind::kLap
                         : last == "pit" ? TopicKind::kPit
                                         : TopicKind::kOther;
  if (kind != TopicKind::kOther) car->assign(topic.substr(0, slash));
  return kind;
}

Keeper::Keeper(Store& store, Publish publish, Say say)
    : store_(store), publish_(std::move(publish)), say_(std::move(say)) {}

Outcome Keeper::Take(const std::string& topic, std::string_view payload, std::string* error) {
  std::string car;
  const TopicKind kind = Classify(topic, &car);
  if (kind == TopicKind::kOther) return Outcome::kIgnored;
  std::string session;
  if (kind == TopicKind::kLap) {
    Lap lap;
    if (const std::string problem = ReadLap(payload, &lap); !problem.empty()) {
      Skipped(topic, problem);
      return Outcome::kSkipped;
    }
    if (!store_.PutLap(car, lap, error)) return Outcome::kFailed;
    session = lap.session;
  } else {
    Pit pit;
    if (const std::string problem = ReadPit(payload, &pit); !problem.empty()) {
      Skipped(topic, problem);
      return Outcome::kSkipped;
    }
    if (!store_.PutPit(car, pit, error)) return Outcome::kFailed;
    session = pit.session;
  }
  return PublishCar(car, session, error) ? Outcome::kStored : Outcome::kFailed;
}

bool Keeper::PublishAll(std::string* error) {
  std::vector<CarSession> cars;
  if (!store_.ReadCars(&cars, error)) return false;
  for (const CarSession& car : cars) {
    if (!PublishCar(car.car, car.session, error)) return false;
  }
  return true;
}

bool Keeper::PublishCar(const std::string& car, const std::string& session, std::string* error) {
  CarLog log;
  if (!store_.ReadLog(car, session, &log, error)) return false;
  std::string& shown = sessions_[car];
  if (shown != session) {
    shown = session;
    say_(terminal::Printable(car) + ": session " + terminal::Printable(session) + " (" +
         Counted(log.laps.size(), "lap") + " and " + Counted(log.pits.size(), "pit stop") +
         " stored), its log on " + terminal::Printable(car) + "/log");
  }
  publish_(car + "/log", LogMessage(log));
  return true;
}

void Keeper::Skipped(const std::string& topic, const std::string& problem) {
  const auto now = std::chrono::steady_clock::now();
  if (faultsShown_.insert(problem).second) {
    say_("skipped a message on " + terminal::Printable(topic) + ": " + problem +
         " (each kind of fault is shown once; more are counted at most once a minute)");
    if (faultsShown_.size() == 1) skipShownAt_ = now;
    return;
  }
  ++skippedUnshown_;
  if (now - skipShownAt_ < kSkipReportInterval) return;
  say_("skipped " + std::to_string(skippedUnshown_) +
       " more messages with faults shown before, the last on " + terminal::Printable(topic));
  skippedUnshown_ = 0;
  skipShownAt_ = now;
}

}  // namespace race_log
