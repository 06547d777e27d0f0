// relay-log: the team's race log beside the broker. It reads every car's
// laps and pit stops from the broker, keeps them in SQLite for the whole
// race, across driver swaps and restarts, and publishes each car's whole log
// back, retained, for teammates who join late. Linux only, like relay-mqtt.
//
// Its work runs on the broker link's network thread, in the message
// callback: libmosquitto sends the broker a QoS 1 message's acknowledgement
// only after that returns, so a message is stored before the broker lets go
// of it. The main thread waits for Ctrl-C or SIGTERM.
#include <mosquitto.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "mqtt-link/broker_link.h"
#include "relay-log/csv.h"
#include "relay-log/keeper.h"
#include "relay-log/options.h"
#include "relay-log/store.h"

namespace {

// How long a clean exit waits for the broker to take the logs published last.
constexpr std::chrono::milliseconds kGoodbyeTimeout{3000};

void Say(const std::string& line) {
  std::printf("relay-log: %s\n", line.c_str());
  std::fflush(stdout);
}

int Fail(const std::string& problem) {
  std::fprintf(stderr, "relay-log: %s\n", problem.c_str());
  return 1;
}

// The store failed in the middle of the race: nothing more can be kept. It
// ends at once, without a goodbye: the message it could not store is not
// acknowledged, so the broker keeps it for the next run.
[[noreturn]] void Abandon(const std::string& problem) {
  std::fflush(stdout);
  std::fprintf(stderr, "relay-log: %s\n", problem.c_str());
  std::fflush(stderr);
  std::_Exit(1);
}

int Export(const race_log::Options& options) {
  race_log::Store store;
  std::string error;
  if (!store.Open(options.db, false, &error) ||
      !race_log::ExportCsv(store, options.car, options.session, options.exportTo, &error)) {
    return Fail(error);
  }
  return 0;
}

int Keep(const race_log::Options& options) {
  race_log::Store store;
  std::string error;
  long laps = 0, pits = 0, cars = 0;
  if (!store.Open(options.db, true, &error) || !store.Count(&laps, &pits, &cars, &error)) {
    return Fail(error);
  }
  mqtt_link::BrokerSettings broker;
  if (!mqtt_link::ReadPassword(options, race_log::kPasswordVariable, &broker.password,
                               &broker.havePassword, &error)) {
    return Fail(error);
  }
  broker.program = "relay-log";
  broker.host = options.brokerHost;
  broker.port = options.brokerPort;
  broker.tls = options.tls;
  broker.caFile = options.caFile;
  broker.username = options.username;
  broker.clientId = options.clientId;
  broker.cleanSession = false;
  broker.subscriptions = options.topics;

  mosquitto_lib_init();
  mqtt_link::BrokerLink* link = nullptr;
  race_log::Keeper keeper(
      store,
      [&link](const std::string& topic, const std::string& payload) {
        return link->PublishRetained(topic, payload);
      },
      Say);
  mqtt_link::BrokerLink brokerLink(
      [](std::function<void()> event) { event(); }, std::move(broker),
      [&keeper] {
        std::string problem;
        if (!keeper.PublishAll(&problem)) Abandon(problem);
      },
      [] {},
      [&keeper](const std::string& topic, std::string_view payload) {
        std::string problem;
        if (keeper.Take(topic, payload, &problem) == race_log::Outcome::kFailed) Abandon(problem);
      });
  link = &brokerLink;
  if (!brokerLink.Prepare(&error)) return Fail(error);

  // Ctrl-C and SIGTERM are taken by this thread alone: blocked here before
  // the network thread starts (it inherits the mask), then waited for.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  std::string patterns;
  for (const std::string& pattern : options.topics) {
    patterns += (patterns.empty() ? "" : ", ") + pattern;
  }
  Say("keeping the race log of " + patterns + " from " + (options.tls ? "mqtts://" : "mqtt://") +
      options.brokerHost + ":" + std::to_string(options.brokerPort) + " in " + options.db + " (" +
      std::to_string(laps) + " laps and " + std::to_string(pits) + " pit stops of " +
      std::to_string(cars) + " cars so far), as client " + options.clientId);
  brokerLink.Start();
  int signal = 0;
  sigwait(&stops, &signal);
  Say("stopping: disconnecting from the broker");
  brokerLink.Stop("", "", kGoodbyeTimeout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  race_log::Options options;
  bool help = false;
  if (!race_log::ParseOptions(argc, argv, &options, &help)) return 2;
  if (help) {
    std::fputs(race_log::kUsage, stdout);
    return 0;
  }
  try {
    return options.exporting ? Export(options) : Keep(options);
  } catch (const std::exception& e) {
    // The libraries' own failures, such as running out of memory.
    std::fprintf(stderr, "relay-log: %s\n", e.what());
    return 1;
  }
}
