// Rendering the results.
#include "report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace bench {

std::string Format(const char* format, double value) {
  const int length = std::snprintf(nullptr, 0, format, value);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, format, value);
  return text;
}

std::string Micros(std::int64_t nanoseconds) {
  return Format("%.1f", static_cast<double>(nanoseconds) / 1000.0);
}

namespace {

std::string Ratio(double relay, double floor) {
  if (floor <= 0 || relay < 0) return "-";
  return Format("%.2f", relay / floor);
}

// "relay / floor (relay ÷ floor)".
std::string Pair(const std::string& relay, const std::string& floor, const std::string& ratio) {
  return relay + " / " + floor + " (" + ratio + ")";
}

std::string LatencyCell(std::int64_t relay, std::int64_t floor) {
  return Pair(Micros(relay), Micros(floor),
              Ratio(static_cast<double>(relay), static_cast<double>(floor)));
}

std::string RateText(const RateResult& rate) {
  if (rate.achieved <= 0) return "none";
  return (rate.atLeast ? "≥" : "") + Format("%.0f", rate.achieved);
}

double CpuPerRow(const SideResult& side) {
  return side.rows > 0 ? static_cast<double>(side.cpuNanoseconds) / static_cast<double>(side.rows)
                       : -1;
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      out += ' ';
      continue;
    }
    out += c;
  }
  return out + "\"";
}

std::string JsonLatency(const LatencySummary& summary) {
  return "{\"count\": " + std::to_string(summary.count) +
         ", \"p50_ns\": " + std::to_string(summary.p50) +
         ", \"p99_ns\": " + std::to_string(summary.p99) +
         ", \"p99_9_ns\": " + std::to_string(summary.p999) +
         ", \"max_ns\": " + std::to_string(summary.max) + "}";
}

std::string JsonSide(const SideResult& side, int which) {
  std::string steps = "[";
  for (std::size_t i = 0; i < side.rate.steps.size(); ++i) {
    steps += (i ? ", " : "") + JsonString(side.rate.steps[i]);
  }
  steps += "]";
  std::string json = "{\"latency_first_client\": " + JsonLatency(side.first) +
                     ", \"latency_last_client\": " + JsonLatency(side.last) +
                     ", \"latency_all_clients\": " + JsonLatency(side.all) +
                     ", \"delivered_at_60\": " + std::to_string(side.delivered) +
                     ", \"lost_at_60\": " + std::to_string(side.missing) +
                     ", \"rows_timed\": " + std::to_string(side.rows) +
                     ", \"cpu_ns_per_row\": " + Format("%.0f", CpuPerRow(side)) +
                     ", \"max_rate\": {\"nominal\": " + Format("%.0f", side.rate.nominal) +
                     ", \"achieved\": " + Format("%.0f", side.rate.achieved) +
                     ", \"at_least\": " + (side.rate.atLeast ? "true" : "false") +
                     ", \"steps\": " + steps + "}" +
                     ", \"corrupt_messages\": " + std::to_string(side.faults.corrupt) +
                     ", \"out_of_order\": " + std::to_string(side.faults.outOfOrder) +
                     ", \"connections_closed\": " + std::to_string(side.faults.closed);
  if (which == kFloorSide) {
    json += ", \"blocked_sends\": " + std::to_string(side.floorBlockedSends) +
            ", \"short_sends\": " + std::to_string(side.floorShortSends) +
            ", \"failed_sends\": " + std::to_string(side.floorFailedSends);
  }
  return json + "}";
}

}  // namespace

Machine DescribeMachine() {
  Machine machine;
  machine.processors = sysconf(_SC_NPROCESSORS_ONLN);
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.starts_with("model name")) {
      const std::size_t colon = line.find(':');
      if (colon != std::string::npos)
        machine.model = line.substr(line.find_first_not_of(' ', colon + 1));
      break;
    }
  }
  utsname names{};
  if (uname(&names) == 0) machine.kernel = std::string(names.sysname) + " " + names.release;
  return machine;
}

std::string MarkdownReport(const Results& results) {
  const Settings& settings = results.settings;
  std::string out;
  out += "Machine: " + std::to_string(results.machine.processors) + " CPUs, " +
         results.machine.model + ", " + results.machine.kernel + "\n";
  out +=
      Format("Latency and loss: 60 rows/s for %g s per side and client count", settings.seconds) +
      (settings.rounds == 1 ? std::string(", in one turn each")
                            : ", in " + std::to_string(settings.rounds) + " alternating turns") +
      ". Cells are relay / floor (relay ÷ floor); the floor ran " +
      (settings.floorThread ? "as a thread of the benchmark" : "in a process of its own") + ".\n\n";

  AppendMarkdownHeader(out, results.counts, [](const CountResult& count) {
    return std::to_string(count.clients) + (count.clients == 1 ? " client" : " clients");
  });
  const auto row = [&](const std::string& title, auto cell) {
    AppendMarkdownRow(out, title, results.counts, cell);
  };
  struct Stat {
    const char* name;
    std::int64_t LatencySummary::*field;
  };
  const Stat stats[] = {{"p50", &LatencySummary::p50},
                        {"p99", &LatencySummary::p99},
                        {"p99.9", &LatencySummary::p999},
                        {"max", &LatencySummary::max}};
  for (const bool first : {true, false}) {
    for (const Stat& stat : stats) {
      row(std::string(first ? "first" : "last") + " client, " + stat.name + " latency (µs)",
          [&](const CountResult& count) {
            const auto& relay = first ? count.side[kRelaySide].first : count.side[kRelaySide].last;
            const auto& floor = first ? count.side[kFloorSide].first : count.side[kFloorSide].last;
            return LatencyCell(relay.*stat.field, floor.*stat.field);
          });
    }
  }
  row("rows lost at 60 rows/s", [](const CountResult& count) {
    return std::to_string(count.side[kRelaySide].missing) + " / " +
           std::to_string(count.side[kFloorSide].missing);
  });
  row("highest rate without a skipped row (rows/s)", [](const CountResult& count) {
    const RateResult& relay = count.side[kRelaySide].rate;
    const RateResult& floor = count.side[kFloorSide].rate;
    return Pair(RateText(relay), RateText(floor), Ratio(relay.achieved, floor.achieved));
  });
  row("CPU time per row at 60 rows/s (µs)", [](const CountResult& count) {
    const double relay = CpuPerRow(count.side[kRelaySide]);
    const double floor = CpuPerRow(count.side[kFloorSide]);
    return Pair(Format("%.1f", relay / 1000.0), Format("%.1f", floor / 1000.0),
                Ratio(relay, floor));
  });
  row("relay peak resident memory (MiB)", [](const CountResult& count) {
    return count.relayPeakKilobytes < 0
               ? std::string("-")
               : Format("%.1f", static_cast<double>(count.relayPeakKilobytes) / 1024.0);
  });

  out += Format("\nRelay CPU use while idle, over %.0f s: ", settings.idleSeconds) +
         Format("%.2f %% with no publisher, ", results.idleAbsentPercent) +
         Format("%.2f %% with a publisher that publishes nothing.\n", results.idleSilentPercent);
  for (const std::string& note : results.notes) out += "\n" + note + "\n";
  return out;
}

std::string JsonReport(const Results& results) {
  const Settings& settings = results.settings;
  std::string clients = "[";
  for (std::size_t i = 0; i < settings.clients.size(); ++i) {
    if (i > 0) clients += ", ";
    clients += std::to_string(settings.clients[i]);
  }
  clients += "]";
  std::string json = "{\n";
  json += "  \"machine\": {\"processors\": " + std::to_string(results.machine.processors) +
          ", \"model\": " + JsonString(results.machine.model) +
          ", \"kernel\": " + JsonString(results.machine.kernel) + "},\n";
  json += "  \"settings\": {\"clients\": " + clients +
          ", \"seconds_at_60\": " + Format("%g", settings.seconds) +
          ", \"rounds\": " + std::to_string(settings.rounds) +
          ", \"rate_step_seconds\": " + Format("%g", settings.stepSeconds) +
          ", \"max_rate\": " + Format("%g", settings.maxRate) +
          ", \"idle_seconds\": " + Format("%g", settings.idleSeconds) +
          ", \"smoke\": " + (settings.smoke ? "true" : "false") +
          ", \"floor\": " + (settings.floorThread ? "\"thread\"" : "\"process\"") + "},\n";
  json += "  \"cpu_source\": " + JsonString(results.cpuSource) + ",\n";
  json += "  \"relay_idle_cpu_percent\": {\"no_publisher\": " +
          Format("%.3f", results.idleAbsentPercent) +
          ", \"silent_publisher\": " + Format("%.3f", results.idleSilentPercent) + "},\n";
  json += "  \"late_rows\": " + std::to_string(results.lateRows) + ",\n";
  json += "  \"counts\": [\n";
  for (std::size_t i = 0; i < results.counts.size(); ++i) {
    const CountResult& count = results.counts[i];
    json += "    {\"clients\": " + std::to_string(count.clients) +
            ", \"relay_peak_rss_kib\": " + std::to_string(count.relayPeakKilobytes) +
            ",\n     \"relay\": " + JsonSide(count.side[kRelaySide], kRelaySide) +
            ",\n     \"floor\": " + JsonSide(count.side[kFloorSide], kFloorSide) + "}" +
            (i + 1 < results.counts.size() ? "," : "") + "\n";
  }
  json += "  ],\n  \"notes\": [";
  for (std::size_t i = 0; i < results.notes.size(); ++i) {
    if (i > 0) json += ", ";
    json += JsonString(results.notes[i]);
  }
  json += "],\n  \"faults\": [";
  for (std::size_t i = 0; i < results.faults.size(); ++i) {
    if (i > 0) json += ", ";
    json += JsonString(results.faults[i]);
  }
  json += "]\n}\n";
  return json;
}

}  // namespace bench
