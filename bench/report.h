// The benchmark's results and their two renderings: a Markdown table that
// holds the relay and the floor side by side with their ratios, and JSON
// with every figure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"
#include "receivers.h"

namespace bench {

struct RateResult {
  double nominal = 0;              // the highest rate asked for that was followed
  double achieved = 0;             // what the publisher managed at that rate
  bool atLeast = false;            // the search reached its ceiling without a failure
  std::vector<std::string> steps;  // "rate:pass" / "rate:fail", in the order tried
};

struct SideResult {
  LatencySummary first, last, all;
  std::int64_t delivered = 0;  // client-rows delivered at 60 rows/s
  std::int64_t missing = 0;    // client-rows lost at 60 rows/s
  std::int64_t rows = 0;       // rows published while the side ran its latency windows
  std::int64_t cpuNanoseconds = 0;
  RateResult rate;
  SideFaults faults;
  std::int64_t floorBlockedSends = 0, floorShortSends = 0, floorFailedSends = 0;
};

struct CountResult {
  std::size_t clients = 0;
  SideResult side[kSides];
  std::int64_t relayPeakKilobytes = -1;
};

struct Machine {
  long processors = 0;
  std::string model, kernel;
};

struct Settings {
  std::vector<std::size_t> clients;
  double seconds = 0;  // at 60 rows/s, per side and client count
  int rounds = 0;
  double stepSeconds = 0;
  double maxRate = 0;
  double idleSeconds = 0;
  bool smoke = false;
  bool floorThread = false;  // the floor ran as a thread of the benchmark, not a process
};

struct Results {
  Machine machine;
  Settings settings;
  std::string cpuSource;
  double idleAbsentPercent = -1;  // no publisher at all
  double idleSilentPercent = -1;  // a publisher that publishes nothing
  std::vector<CountResult> counts;
  std::int64_t lateRows = 0;
  std::vector<std::string> notes;   // printed with the table
  std::vector<std::string> faults;  // what makes the run fail, in words
};

Machine DescribeMachine();
// `value` printed with the printf `format` (one double conversion), as long
// as it takes.
std::string Format(const char* format, double value);
// Nanoseconds as microseconds with one decimal.
std::string Micros(std::int64_t nanoseconds);

// Appends a Markdown table's header to `out`: an empty corner, a column for
// each item of `columns` headed `name(item)`, and the separator row.
template <typename Column, typename Name>
void AppendMarkdownHeader(std::string& out, const std::vector<Column>& columns, Name name) {
  out += "| |";
  for (const Column& column : columns) {
    out += ' ';
    out += name(column);
    out += " |";
  }
  out += "\n|---|";
  for (std::size_t i = 0; i < columns.size(); ++i) out += "---|";
  out += "\n";
}

// Appends a row to `out`: `title`, then `cell(item)` for each of `columns`.
template <typename Column, typename Cell>
void AppendMarkdownRow(std::string& out, const std::string& title,
                       const std::vector<Column>& columns, Cell cell) {
  out += "| " + title + " |";
  for (const Column& column : columns) {
    out += ' ';
    out += cell(column);
    out += " |";
  }
  out += "\n";
}

std::string MarkdownReport(const Results& results);
std::string JsonReport(const Results& results);

}  // namespace bench
