// Drawing the dashboard.
#include "relay-watch/dashboard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "console/printable.h"

namespace watch {

namespace {

constexpr char kReset[] = "\x1b[0m";
constexpr char kBold[] = "\x1b[1m";
constexpr char kDim[] = "\x1b[2m";
constexpr char kRed[] = "\x1b[31m";
constexpr char kGreen[] = "\x1b[32m";
constexpr char kYellow[] = "\x1b[33m";
constexpr char kBlue[] = "\x1b[34m";
constexpr char kCyan[] = "\x1b[36m";
constexpr char kClearLine[] = "\x1b[K";

bool ThresholdsKnown(const SessionInfo& s) { return s.firstRpm > 0 && s.lastRpm > s.firstRpm; }

std::string Printf(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

std::string Bar(double fraction, int width, char fill) {
  const int filled =
      std::isfinite(fraction) ? static_cast<int>(std::clamp(fraction, 0.0, 1.0) * width + 0.5) : 0;
  return std::string(static_cast<std::size_t>(filled), fill) +
         std::string(static_cast<std::size_t>(width - filled), '.');
}

std::string Value(double value, const char* unit) {
  if (!std::isfinite(value)) return "  --";
  return Printf("%7.2f %s", value, unit);
}

std::string YesNo(std::int32_t flag) { return flag != 0 ? "yes" : "no"; }

// The RPM bar, coloured by the thresholds it has passed.
std::string RpmBar(std::int32_t rpm, const SessionInfo& s, int width) {
  const double top =
      std::ceil(std::max({1000.0, s.blinkRpm * 1.05, s.lastRpm * 1.05, rpm * 1.0}) / 500) * 500;
  const int filled = static_cast<int>(std::clamp(rpm / top, 0.0, 1.0) * width + 0.5);
  std::string bar = "[";
  const char* colour = "";
  for (int i = 0; i < width; ++i) {
    const double at = top * (i + 1) / width;
    const char* wanted = !ThresholdsKnown(s) ? kCyan
                         : at > s.shiftRpm   ? kRed
                         : at > s.firstRpm   ? kYellow
                                             : kGreen;
    if (i < filled && wanted != colour) {
      bar += wanted;
      colour = wanted;
    }
    if (i == filled) bar += kDim;
    bar += i < filled ? '=' : '.';
  }
  return bar + kReset + Printf("] %.0f", top);
}

std::string Lights(std::int32_t rpm, const SessionInfo& s, bool blinkOn) {
  if (!ThresholdsKnown(s)) return "(thresholds not received yet)";
  const int lit = LitLights(rpm, s);
  const ShiftCue cue = Cue(rpm, s);
  std::string lights;
  for (int i = 0; i < kShiftLights; ++i) {
    const bool on = i < lit && (cue != ShiftCue::kBlink || blinkOn);
    const char* colour = cue != ShiftCue::kNone ? kBlue : i < 4 ? kGreen : i < 7 ? kYellow : kRed;
    lights +=
        on ? std::string(colour) + kBold + "[*]" + kReset : std::string(kDim) + "[ ]" + kReset;
  }
  if (cue == ShiftCue::kShift) lights += std::string("  ") + kBold + kBlue + "SHIFT" + kReset;
  if (cue == ShiftCue::kBlink) lights += std::string("  ") + kBold + kRed + "SHIFT!" + kReset;
  return lights;
}

}  // namespace

int LitLights(std::int32_t rpm, const SessionInfo& s, int lights) {
  if (!ThresholdsKnown(s) || rpm < s.firstRpm || lights < 1) return 0;
  if (lights == 1) return 1;
  // In double: with thresholds close together an RPM far above them is more
  // steps than an int holds, and converting that to int is undefined.
  const double step = static_cast<double>(s.lastRpm - s.firstRpm) / (lights - 1);
  const double steps = static_cast<double>(rpm - s.firstRpm) / step;
  return steps >= lights - 1 ? lights : 1 + static_cast<int>(steps);
}

ShiftCue Cue(std::int32_t rpm, const SessionInfo& s) {
  if (s.blinkRpm > 0 && rpm >= s.blinkRpm) return ShiftCue::kBlink;
  if (s.shiftRpm > 0 && rpm >= s.shiftRpm) return ShiftCue::kShift;
  return ShiftCue::kNone;
}

std::string FormatClock(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return "--:--:--";
  const auto whole = static_cast<long long>(seconds);
  return Printf("%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
}

std::string FormatGear(std::int32_t gear) {
  if (gear < 0) return "R";
  if (gear == 0) return "N";
  return std::to_string(gear);
}

std::string RenderDashboard(const DashboardState& state, int columns, bool blinkOn) {
  const DataPacket& d = state.data;
  const SessionInfo& s = state.session;
  // The widest bar line is the throttle's: a 16-column label, "[", the bar
  // and "] 100 %".
  const int barWidth = std::clamp(columns - 25, 10, 80);
  std::string frame = "\x1b[H";
  auto line = [&frame](const std::string& text) { frame += text + kClearLine + "\r\n"; };

  line(std::string(" ") + kBold + "relay-watch" + kReset + "  " + state.endpoint + "  " +
       state.status);
  line(Printf(" %5.0f msg/s   %lld messages   ", state.messagesPerSecond,
              static_cast<long long>(state.messages)) +
       (state.malformed > 0 ? kRed : "") +
       Printf("%lld malformed", static_cast<long long>(state.malformed)) + kReset);
  line("");
  // The car path and the malformed fields are the stream's bytes: shown
  // escaped, they cannot clear the screen, retitle the window or end the frame.
  line(std::string("  Car           ") +
       (state.haveSession ? terminal::Printable(s.carPath) : "(not received yet)"));
  if (!state.haveData) {
    line("");
    line("  Waiting for the first DATA_PACKET...");
  } else {
    line(std::string("  Gear          ") + kBold + FormatGear(d.gear) + kReset +
         Printf("          RPM %6d", d.rpm));
    line("  RPM           " + RpmBar(d.rpm, s, barWidth));
    line("  Shift lights  " + Lights(d.rpm, s, blinkOn));
    if (state.haveSession) {
      line(Printf("                first %d  shift %d  last %d  blink %d", s.firstRpm, s.shiftRpm,
                  s.lastRpm, s.blinkRpm));
    } else {
      line("");
    }
    line("  Throttle      [" + Bar(d.throttle, barWidth, '#') +
         (std::isfinite(d.throttle) ? Printf("] %3.0f %%", d.throttle * 100) : "]"));
    line("");
    line("  Oil temp      " + Value(d.oilTemp, "C ") + "     Water temp    " +
         Value(d.waterTemp, "C"));
    line("  Fuel          " + Value(d.fuelLevel, "l ") + "     Fuel level    " +
         Value(d.fuelLevelPct * 100, "%"));
    line(Printf("  Lap           %7d          ", d.lap) + "Lap position  " +
         Value(d.lapDistPct * 100, "%") + "  (" + Value(d.lapDist, "m") + ")");
    line(Printf("  Race laps     %7d          Laps left     %7d", d.raceLaps, d.sessionLapsRemain));
    line("  Time left     " + FormatClock(d.sessionTimeRemain));
    line(std::string("  Pit road      ") + (d.onPitRoad != 0 ? kYellow : "") +
         Printf("%7s", YesNo(d.onPitRoad).c_str()) + kReset + "          On track      " +
         Printf("%7s", YesNo(d.isOnTrack).c_str()));
  }
  line("");
  if (!state.lastProblem.empty()) {
    line("  Last malformed message: " + terminal::Printable(state.lastProblem));
  }
  line(std::string("  ") + kDim + "Ctrl-C quits" + kReset);
  frame += "\x1b[J";
  return frame;
}

}  // namespace watch
