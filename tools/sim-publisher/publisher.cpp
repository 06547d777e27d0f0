// The publisher: a stand-in for the simulator's side of the telemetry region.
#include "sim-publisher/publisher.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <limits>

#include "simlink/region.h"

namespace publisher {

namespace {

namespace layout = simlink::layout;

// A header field the relay does not read but other readers of the region do.
constexpr std::int64_t kSessionInfoLength = 16;

void WriteInt32(std::span<std::uint8_t> region, std::int64_t offset, std::int32_t value) {
  std::memcpy(region.data() + offset, &value, sizeof value);
}

// Variables a real session publishes, in the simulator's order: the relayed
// ones among many others, so that none of them sits at an aligned offset by
// accident of the layout.
std::vector<Variable> DefaultVariables() {
  using T = ValueType;
  std::vector<Variable> variables = {
      {"SessionTime", T::kDouble},
      {"SessionTick", T::kInt},
      {"SessionNum", T::kInt},
      {"SessionState", T::kInt},
      {"SessionUniqueID", T::kInt},
      {"SessionFlags", T::kBitField},
      {"SessionTimeRemain", T::kDouble},
      {"SessionLapsRemain", T::kInt},
      {"SessionLapsRemainEx", T::kInt},
      {"SessionTimeTotal", T::kDouble},
      {"SessionLapsTotal", T::kInt},
      {"SessionTimeOfDay", T::kFloat},
      {"RadioTransmitCarIdx", T::kInt},
      {"DriverMarker", T::kBool},
      {"PushToPass", T::kBool},
      {"ManualBoost", T::kBool},
      {"ManualNoBoost", T::kBool},
      {"IsOnTrack", T::kBool},
      {"IsReplayPlaying", T::kBool},
      {"ReplayFrameNum", T::kInt},
      {"ReplayFrameNumEnd", T::kInt},
      {"IsDiskLoggingEnabled", T::kBool},
      {"IsDiskLoggingActive", T::kBool},
      {"FrameRate", T::kFloat},
      {"CpuUsageFG", T::kFloat},
      {"GpuUsage", T::kFloat},
      {"ChanAvgLatency", T::kFloat},
      {"ChanLatency", T::kFloat},
      {"ChanQuality", T::kFloat},
      {"ChanPartnerQuality", T::kFloat},
      {"CpuUsageBG", T::kFloat},
      {"ChanClockSkew", T::kFloat},
      {"MemPageFaultSec", T::kFloat},
      {"MemSoftPageFaultSec", T::kFloat},
      {"PlayerCarPosition", T::kInt},
      {"PlayerCarClassPosition", T::kInt},
      {"PlayerCarClass", T::kInt},
      {"PlayerTrackSurface", T::kInt},
      {"PlayerTrackSurfaceMaterial", T::kInt},
      {"PlayerCarIdx", T::kInt},
      {"PlayerCarTeamIncidentCount", T::kInt},
      {"PlayerCarMyIncidentCount", T::kInt},
      {"PlayerCarDriverIncidentCount", T::kInt},
      {"PlayerCarWeightPenalty", T::kFloat},
      {"PlayerCarPowerAdjust", T::kFloat},
      {"PlayerCarDryTireSetLimit", T::kInt},
      {"PlayerCarTowTime", T::kFloat},
      {"PlayerCarInPitStall", T::kBool},
      {"PlayerCarPitSvStatus", T::kInt},
      {"PlayerTireCompound", T::kInt},
      {"PlayerFastRepairsUsed", T::kInt},
      {"CarIdxLap", T::kInt, 64},
      {"CarIdxLapCompleted", T::kInt, 64},
      {"CarIdxLapDistPct", T::kFloat, 64},
      {"CarIdxTrackSurface", T::kInt, 64},
      {"CarIdxOnPitRoad", T::kBool, 64},
      {"CarIdxPosition", T::kInt, 64},
      {"CarIdxClassPosition", T::kInt, 64},
      {"CarIdxF2Time", T::kFloat, 64},
      {"CarIdxEstTime", T::kFloat, 64},
      {"CarIdxLastLapTime", T::kFloat, 64},
      {"CarIdxBestLapTime", T::kFloat, 64},
      {"CarIdxGear", T::kInt, 64},
      {"CarIdxRPM", T::kFloat, 64},
      {"CarIdxSteer", T::kFloat, 64},
      {"PaceMode", T::kInt},
      {"OnPitRoad", T::kBool},
      {"SteeringWheelAngle", T::kFloat},
      {"Throttle", T::kFloat},
      {"Brake", T::kFloat},
      {"Clutch", T::kFloat},
      {"Gear", T::kInt},
      {"RPM", T::kFloat},
      {"Lap", T::kInt},
      {"LapCompleted", T::kInt},
      {"LapDist", T::kFloat},
      {"LapDistPct", T::kFloat},
      {"RaceLaps", T::kInt},
      {"LapBestLap", T::kInt},
      {"LapBestLapTime", T::kFloat},
      {"LapLastLapTime", T::kFloat},
      {"LapCurrentLapTime", T::kFloat},
      {"Speed", T::kFloat},
      {"Yaw", T::kFloat},
      {"YawNorth", T::kFloat},
      {"Pitch", T::kFloat},
      {"Roll", T::kFloat},
      {"EnterExitReset", T::kInt},
      {"TrackTemp", T::kFloat},
      {"TrackTempCrew", T::kFloat},
      {"AirTemp", T::kFloat},
      {"WeatherType", T::kInt},
      {"Skies", T::kInt},
      {"AirDensity", T::kFloat},
      {"AirPressure", T::kFloat},
      {"WindVel", T::kFloat},
      {"WindDir", T::kFloat},
      {"RelativeHumidity", T::kFloat},
      {"FogLevel", T::kFloat},
      {"DCLapStatus", T::kInt},
      {"DCDriversSoFar", T::kInt},
      {"OkToReloadTextures", T::kBool},
      {"LoadNumTextures", T::kBool},
      {"CarLeftRight", T::kBitField},
      {"PitsOpen", T::kBool},
      {"VidCapEnabled", T::kBool},
      {"VidCapActive", T::kBool},
      {"PitRepairLeft", T::kFloat},
      {"PitOptRepairLeft", T::kFloat},
      {"PitstopActive", T::kBool},
      {"FastRepairUsed", T::kInt},
      {"FastRepairAvailable", T::kInt},
      {"LFTiresUsed", T::kInt},
      {"RFTiresUsed", T::kInt},
      {"LRTiresUsed", T::kInt},
      {"RRTiresUsed", T::kInt},
      {"LeftTireSetsUsed", T::kInt},
      {"RightTireSetsUsed", T::kInt},
      {"FrontTireSetsUsed", T::kInt},
      {"RearTireSetsUsed", T::kInt},
      {"TireSetsUsed", T::kInt},
      {"LFTiresAvailable", T::kInt},
      {"RFTiresAvailable", T::kInt},
      {"LRTiresAvailable", T::kInt},
      {"RRTiresAvailable", T::kInt},
      {"LeftTireSetsAvailable", T::kInt},
      {"RightTireSetsAvailable", T::kInt},
      {"FrontTireSetsAvailable", T::kInt},
      {"RearTireSetsAvailable", T::kInt},
      {"TireSetsAvailable", T::kInt},
      {"IsOnTrackCar", T::kBool},
      {"SteeringWheelPctTorque", T::kFloat},
      {"SteeringWheelPctTorqueSign", T::kFloat},
      {"SteeringWheelLimiter", T::kFloat},
      {"ShiftIndicatorPct", T::kFloat},
      {"ShiftPowerPct", T::kFloat},
      {"ShiftGrindRPM", T::kFloat},
      {"ThrottleRaw", T::kFloat},
      {"BrakeRaw", T::kFloat},
      {"HandbrakeRaw", T::kFloat},
      {"BrakeABSactive", T::kBool},
      {"EngineWarnings", T::kBitField},
      {"FuelLevel", T::kFloat},
      {"FuelLevelPct", T::kFloat},
      {"PitSvFlags", T::kBitField},
      {"PitSvLFP", T::kFloat},
      {"PitSvRFP", T::kFloat},
      {"PitSvLRP", T::kFloat},
      {"PitSvRRP", T::kFloat},
      {"PitSvFuel", T::kFloat},
      {"PitSvTireCompound", T::kInt},
      {"CarIdxP2P_Status", T::kBool, 64},
      {"CarIdxP2P_Count", T::kInt, 64},
      {"SteeringWheelPeakForceNm", T::kFloat},
      {"CarIdxPaceLine", T::kInt, 64},
      {"CarIdxPaceRow", T::kInt, 64},
      {"CarIdxPaceFlags", T::kBitField, 64},
      {"WaterTemp", T::kFloat},
      {"WaterLevel", T::kFloat},
      {"FuelPress", T::kFloat},
      {"FuelUsePerHour", T::kFloat},
      {"OilTemp", T::kFloat},
      {"OilPress", T::kFloat},
      {"OilLevel", T::kFloat},
      {"Voltage", T::kFloat},
      {"ManifoldPress", T::kFloat},
  };
  // A real session has about sixty arrays of one value per car (64 cars):
  // the named ones above, and these to make up the count.
  constexpr std::ptrdiff_t kPerCarArrays = 60;
  std::ptrdiff_t arrays = std::count_if(variables.begin(), variables.end(),
                                        [](const Variable& v) { return v.count == 64; });
  for (int i = 0; arrays < kPerCarArrays; ++i, ++arrays) {
    char name[32];
    std::snprintf(name, sizeof name, "CarIdxAux%02d", i);
    variables.push_back({name, i % 3 == 2 ? T::kInt : T::kFloat, 64});
  }
  // Per-corner and per-wheel channels make up the rest of a real directory.
  const char* corners[] = {"LF", "RF", "LR", "RR"};
  const char* channels[] = {
      "shockDefl", "shockDefl_ST",    "shockVel",     "shockVel_ST", "rideHeight", "brakeLinePress",
      "speed",     "pressure",        "coldPressure", "tempL",       "tempM",      "tempR",
      "tempCL",    "tempCM",          "tempCR",       "wearL",       "wearM",      "wearR",
      "brakeTemp", "tireRumblePitch", "camber",       "toe",         "springDefl"};
  for (const char* channel : channels) {
    for (const char* corner : corners) {
      variables.push_back({std::string(corner) + channel, T::kFloat});
      if (variables.size() == 323) return variables;
    }
  }
  for (int i = 0; variables.size() < 323; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "dcAux%02d", i);
    variables.push_back({name, T::kFloat});
  }
  return variables;
}

}  // namespace

Layout PackedLayout(std::vector<Variable> variables, std::int32_t slotCount,
                    std::int32_t minimumRowLength) {
  Layout result;
  std::int32_t offset = 0;
  for (Variable& variable : variables) {
    variable.offset = offset;
    offset += ValueSize(variable.type) * variable.count;
  }
  result.variables = std::move(variables);
  result.slotCount = slotCount;
  result.rowLength = std::max(offset, minimumRowLength);
  return result;
}

Layout DefaultLayout() { return PackedLayout(DefaultVariables(), 3, 0); }

std::string DefaultSessionText() {
  return "---\n"
         "WeekendInfo:\n"
         " TrackName: spa up\n"
         " TrackDisplayName: Circuit de Spa-Francorchamps\n"
         " TrackLength: 6.9235 km\n"
         " SessionID: 90211306\n"
         " SubSessionID: 71544091\n"
         "SessionInfo:\n"
         " Sessions:\n"
         " - SessionNum: 0\n"
         "   SessionLaps: unlimited\n"
         "   SessionType: Practice\n"
         "DriverInfo:\n"
         " DriverCarIdx: 2\n"
         " DriverUserID: 123456\n"
         " DriverCarIdleRPM: 900.000\n"
         " DriverCarRedLine: 7800.000\n"
         " DriverCarFuelMaxLtr: 110.000\n"
         " DriverCarSLFirstRPM: 5900.000\n"
         " DriverCarSLShiftRPM: 7200.000\n"
         " DriverCarSLLastRPM: 7400.000\n"
         " DriverCarSLBlinkRPM: 7600.000\n"
         " Drivers:\n"
         " - CarIdx: 0\n"
         "   UserName: Pace Car\n"
         "   CarPath: safety pcporsche911cup\n"
         "   CarIsPaceCar: 1\n"
         " - CarIdx: 1\n"
         "   UserName: Ana Lopez\n"
         "   CarNumber: \"7\"\n"
         "   CarPath: bmwm4gt3\n"
         " - CarIdx: 2\n"
         "   UserName: Sam Driver\n"
         "   CarNumber: \"23\"\n"
         "   CarPath: porsche992rgt3\n"
         " - CarIdx: 3\n"
         "   UserName: Kim Tanaka\n"
         "   CarNumber: \"44\"\n"
         "   CarPath: ferrari296gt3\n"
         "SplitTimeInfo:\n"
         " Sectors:\n"
         " - SectorNum: 0\n"
         "   SectorStartPct: 0.000000\n"
         "...\n";
}

Layout RecordedLayout(std::vector<std::uint8_t> records, std::int32_t rowLength,
                      std::int32_t tickRate, std::size_t sessionTextLength) {
  Layout result;
  result.slotCount = 3;
  result.rowLength = rowLength;
  result.tickRate = tickRate;
  result.records = std::move(records);
  // The text, its NUL, and padding that keeps the records 16-byte aligned.
  // A text too long for a 32-bit offset gives a capacity past any region.
  const std::uint64_t capacity = (std::uint64_t{sessionTextLength} + 1 + 15) / 16 * 16;
  result.sessionInfoCapacity =
      static_cast<std::int32_t>(std::min<std::uint64_t>(capacity, 0x7FFFFFF0));
  return result;
}

std::int32_t VariableCount(const Layout& layout) {
  if (!layout.records.empty()) {
    return static_cast<std::int32_t>(layout.records.size() / layout::kVariableRecordSize);
  }
  return static_cast<std::int32_t>(layout.variables.size());
}

std::int32_t VariableRecordsOffset(const Layout& layout) {
  return layout.sessionInfoOffset + layout.sessionInfoCapacity;
}

namespace {

std::int64_t RowOffset64(const Layout& layout, std::int32_t slot) {
  return std::int64_t{layout.sessionInfoOffset} + layout.sessionInfoCapacity +
         std::int64_t{VariableCount(layout)} * layout::kVariableRecordSize +
         std::int64_t{slot} * layout.rowLength;
}

}  // namespace

std::int32_t RowOffset(const Layout& layout, std::int32_t slot) {
  return static_cast<std::int32_t>(RowOffset64(layout, slot));
}

std::uint64_t RegionSize(const Layout& layout) {
  return static_cast<std::uint64_t>(RowOffset64(layout, layout.slotCount));
}

std::int32_t OffsetOf(const Layout& layout, std::string_view name) {
  for (const Variable& variable : layout.variables) {
    if (variable.name == name) return variable.offset;
  }
  return -1;
}

bool WriteSessionText(std::span<std::uint8_t> region, const Layout& layout,
                      std::string_view sessionText) {
  if (sessionText.size() >= static_cast<std::size_t>(layout.sessionInfoCapacity)) return false;
  std::uint8_t* text = region.data() + layout.sessionInfoOffset;
  std::memset(text, 0, static_cast<std::size_t>(layout.sessionInfoCapacity));
  std::memcpy(text, sessionText.data(), sessionText.size());
  return true;
}

bool WriteLayout(std::span<std::uint8_t> region, const Layout& layout,
                 std::string_view sessionText) {
  if (region.size() < RegionSize(layout)) return false;
  std::memset(region.data(), 0, RegionSize(layout));
  WriteInt32(region, 0, 2);  // header version
  WriteInt32(region, layout::kTickRate, layout.tickRate);
  WriteInt32(region, kSessionInfoLength, layout.sessionInfoCapacity);
  WriteInt32(region, layout::kSessionInfoOffset, layout.sessionInfoOffset);
  WriteInt32(region, layout::kVariableCount, VariableCount(layout));
  WriteInt32(region, layout::kVariableRecordsOffset, VariableRecordsOffset(layout));
  WriteInt32(region, layout::kSlotCount, layout.slotCount);
  WriteInt32(region, layout::kRowLength, layout.rowLength);
  for (std::int32_t slot = 0; slot < layout.slotCount; ++slot) {
    WriteInt32(region, layout::kSlots + layout::kSlotSize * slot + layout::kSlotRowOffset,
               RowOffset(layout, slot));
  }
  std::int64_t record = VariableRecordsOffset(layout);
  if (!layout.records.empty()) {
    std::memcpy(region.data() + record, layout.records.data(),
                static_cast<std::size_t>(VariableCount(layout) * layout::kVariableRecordSize));
    return WriteSessionText(region, layout, sessionText);
  }
  for (const Variable& variable : layout.variables) {
    WriteInt32(region, record + layout::kVariableType, static_cast<std::int32_t>(variable.type));
    WriteInt32(region, record + layout::kVariableValueOffset, variable.offset);
    WriteInt32(region, record + layout::kVariableElements, variable.count);
    const auto text = [&](std::int64_t field, std::int64_t size, const std::string& value) {
      std::memcpy(region.data() + record + field, value.data(),
                  std::min<std::size_t>(value.size(), static_cast<std::size_t>(size)));
    };
    text(layout::kVariableName, layout::kVariableNameLength, variable.name);
    text(layout::kVariableDescription, layout::kVariableDescriptionLength, variable.description);
    text(layout::kVariableUnit, layout::kVariableUnitLength, variable.unit);
    record += layout::kVariableRecordSize;
  }
  return WriteSessionText(region, layout, sessionText);
}

void SetConnected(std::span<std::uint8_t> region, bool connected) {
  WriteInt32(region, layout::kStatus, connected ? layout::kStatusConnected : 0);
}

namespace {

void SetValue(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
              std::int32_t index, const void* value, std::size_t size) {
  const std::int32_t offset = OffsetOf(layout, name);
  if (offset < 0) return;
  const std::size_t at = static_cast<std::size_t>(offset) + size * static_cast<std::size_t>(index);
  if (at + size > row.size()) return;
  std::memcpy(row.data() + at, value, size);
}

}  // namespace

void SetFloat(std::span<std::uint8_t> row, const Layout& layout, std::string_view name, float value,
              std::int32_t index) {
  SetValue(row, layout, name, index, &value, sizeof value);
}

void SetDouble(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
               double value) {
  SetValue(row, layout, name, 0, &value, sizeof value);
}

void SetInt(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
            std::int32_t value, std::int32_t index) {
  SetValue(row, layout, name, index, &value, sizeof value);
}

void SetBool(std::span<std::uint8_t> row, const Layout& layout, std::string_view name, bool value) {
  const std::uint8_t byte = value ? 1 : 0;
  SetValue(row, layout, name, 0, &byte, sizeof byte);
}

namespace {

// The bytes of the row that hold the first `count` elements of array `name`,
// as many as fit the array and the row; none for a name the layout lacks.
std::span<std::uint8_t> ArrayBytes(std::span<std::uint8_t> row, const Layout& layout,
                                   std::string_view name, std::size_t count, std::size_t size) {
  for (const Variable& variable : layout.variables) {
    if (variable.name != name) continue;
    const auto offset = static_cast<std::size_t>(std::max(variable.offset, 0));
    if (offset >= row.size()) return {};
    count = std::min(count, static_cast<std::size_t>(std::max(variable.count, 0)));
    count = std::min(count, (row.size() - offset) / size);
    return row.subspan(offset, count * size);
  }
  return {};
}

}  // namespace

void SetFloats(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
               std::span<const float> values) {
  const auto bytes = ArrayBytes(row, layout, name, values.size(), sizeof(float));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
}

void SetInts(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
             std::span<const std::int32_t> values) {
  const auto bytes = ArrayBytes(row, layout, name, values.size(), sizeof(std::int32_t));
  if (!bytes.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
}

void SetBools(std::span<std::uint8_t> row, const Layout& layout, std::string_view name,
              std::span<const bool> values) {
  const auto bytes = ArrayBytes(row, layout, name, values.size(), 1);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = values[i] ? 1 : 0;
}

bool OpenInMemory(Publisher& publisher, std::span<std::uint8_t> region, const Layout& layout,
                  std::string_view sessionText) {
  if (!WriteLayout(region, layout, sessionText)) return false;
  publisher.region = region;
  publisher.layout = layout;
  publisher.tickCount = 0;
  SetConnected(region, true);
  return true;
}

namespace {

// The named mapping and event, created or reused.
bool CreateNamedObjects(Publisher& publisher, const Layout& layout,
                        platform::WritableRegion* region, bool* created, std::string* error) {
  const std::uint64_t size = std::max<std::uint64_t>(kNamedRegionSize, RegionSize(layout));
  platform::MappingFailure failure = platform::MappingFailure::kOther;
  platform::ForeignObject foreign;
  if (size > std::numeric_limits<std::size_t>::max() ||
      !platform::CreateNamedMapping(simlink::kMappingName, static_cast<std::size_t>(size), region,
                                    created, &failure, &foreign)) {
    *error = "cannot create the shared-memory region";
    if (failure == platform::MappingFailure::kForeign) {
      *error += ": " + std::string(foreign.text);
    } else if (failure == platform::MappingFailure::kNoRoom) {
      *error += ": no room for its " + std::to_string(size) +
                " bytes (on Linux the shared-memory file system /dev/shm is full or too small; "
                "see df /dev/shm)";
    }
    return false;
  }
  publisher.event = platform::CreateNamedEvent(simlink::kDataValidEventName, &foreign);
  if (publisher.event == nullptr) {
    *error = "cannot create the data-valid event";
    if (foreign.text[0] != '\0') *error += ": " + std::string(foreign.text);
    return false;
  }
  return true;
}

bool LayOut(Publisher& publisher, const platform::WritableRegion& region, const Layout& layout,
            std::string_view sessionText, std::string* error) {
  if (region.size < RegionSize(layout)) {
    *error = "the existing shared-memory region has " + std::to_string(region.size) +
             " bytes, this layout needs " + std::to_string(RegionSize(layout)) +
             "; stop the programs that use it (the relay too) and remove it (on POSIX: "
             "sim-publisher --duration 0 --remove), then try again";
    return false;
  }
  if (!OpenInMemory(publisher, {region.base, region.size}, layout, sessionText)) {
    *error = "the session text does not fit the layout";
    return false;
  }
  return true;
}

// The highest tick count of any slot, read the way the relay reads it.
std::int32_t NewestTick(const platform::WritableRegion& region) {
  const platform::RegionView view{region.base, region.size};
  std::int32_t slotCount = 0;
  std::int32_t newest = 0;
  simlink::ReadInt32(view, layout::kSlotCount, &slotCount);
  for (std::int32_t slot = 0; slot < slotCount; ++slot) {
    std::int32_t tick = 0;
    if (!simlink::ReadInt32(view, layout::kSlots + layout::kSlotSize * slot, &tick)) break;
    newest = std::max(newest, tick);
  }
  return newest;
}

// True while something else keeps publishing into the region: its status
// bit is set and its tick counts move.
bool HasLiveWriter(const platform::WritableRegion& region) {
  const platform::RegionView view{region.base, region.size};
  std::int32_t status = 0;
  if (!simlink::ReadInt32(view, layout::kStatus, &status) ||
      (status & layout::kStatusConnected) == 0) {
    return false;
  }
  const std::int32_t before = NewestTick(region);
  platform::SleepMilliseconds(kLiveWriterWatchMilliseconds);
  std::atomic_thread_fence(std::memory_order_acquire);
  return NewestTick(region) != before;
}

}  // namespace

bool OpenNamed(Publisher& publisher, const Layout& layout, std::string_view sessionText,
               std::string* error) {
  platform::WritableRegion region;
  bool created = false;
  return CreateNamedObjects(publisher, layout, &region, &created, error) &&
         LayOut(publisher, region, layout, sessionText, error);
}

bool OpenNamedExclusive(Publisher& publisher, const Layout& layout, std::string_view sessionText,
                        std::string* error) {
  platform::ForeignObject foreign;
  switch (platform::AcquireNamedLock(kPublisherLockName, &foreign)) {
    case platform::LockResult::kAcquired:
      break;
    case platform::LockResult::kForeign:
      *error = "cannot take the publisher lock: " + std::string(foreign.text);
      return false;
    case platform::LockResult::kHeldElsewhere:
      *error = "another publisher is already running (it holds the lock \"" +
               std::string(kPublisherLockName) + "\"); stop it first";
      return false;
    case platform::LockResult::kFailed:
      *error = "cannot create the publisher lock \"" + std::string(kPublisherLockName) + "\"";
      return false;
  }
  platform::WritableRegion region;
  bool created = false;
  if (!CreateNamedObjects(publisher, layout, &region, &created, error)) return false;
  if (!created && HasLiveWriter(region)) {
    *error =
        "another program is publishing into the shared-memory region (its tick counts are "
        "moving): is the simulator running?";
    return false;
  }
  return LayOut(publisher, region, layout, sessionText, error);
}

bool Lost(const Publisher& publisher) {
  return platform::RegionLost({publisher.region.data(), publisher.region.size()}) ||
         platform::EventLost(publisher.event);
}

void Close(Publisher& publisher) {
  platform::CloseNamedEvent(publisher.event);
  publisher.event = nullptr;
}

void PublishRow(Publisher& publisher, std::span<const std::uint8_t> row) {
  const Layout& layout = publisher.layout;
  // The count would overflow after 2^31 - 1 rows (days of a fast or looping
  // replay) into negative slot numbers. It starts over at 1 instead, as a
  // restarted simulator's does: every slot's count goes to 0 first, so that
  // no old row looks newer than the new ones and readers see the count go
  // back, as at a restart.
  if (publisher.tickCount == std::numeric_limits<std::int32_t>::max()) {
    for (std::int32_t slot = 0; slot < layout.slotCount; ++slot) {
      WriteInt32(publisher.region,
                 layout::kSlots + layout::kSlotSize * slot + layout::kSlotTickCount, 0);
    }
    publisher.tickCount = 0;
  }
  const std::int32_t tick = ++publisher.tickCount;
  const std::int32_t slot = tick % layout.slotCount;
  const std::size_t length = std::min(row.size(), static_cast<std::size_t>(layout.rowLength));
  const std::int64_t tickField = layout::kSlots + layout::kSlotSize * slot + layout::kSlotTickCount;
  // A reader may be copying this slot's previous row right now. It checks the
  // tick count again after its copy, so change the count before the row
  // changes: to a value below any published count, which no reader takes for
  // a new row.
  WriteInt32(publisher.region, tickField, kRewritingTickCount);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  std::memcpy(publisher.region.data() + RowOffset(layout, slot), row.data(), length);
  // The tick count goes up only once the row is complete.
  std::atomic_thread_fence(std::memory_order_release);
  WriteInt32(publisher.region, tickField, tick);
  if (publisher.event != nullptr) platform::SignalNamedEvent(publisher.event);
}

bool ChangeRowLength(Publisher& publisher, std::int32_t rowLength) {
  Layout changed = publisher.layout;
  changed.rowLength = rowLength;
  if (rowLength <= 0 || RegionSize(changed) > publisher.region.size()) return false;
  publisher.layout = changed;
  WriteInt32(publisher.region, layout::kRowLength, rowLength);
  for (std::int32_t slot = 0; slot < publisher.layout.slotCount; ++slot) {
    WriteInt32(publisher.region, layout::kSlots + layout::kSlotSize * slot + layout::kSlotRowOffset,
               RowOffset(publisher.layout, slot));
  }
  return true;
}

bool Restart(Publisher& publisher, std::string_view sessionText) {
  SetConnected(publisher.region, false);
  // WriteLayout zeroes every slot's tick count, so the relay sees a count
  // lower than the last it took and takes the rows from tick 1 on as new.
  if (!WriteLayout(publisher.region, publisher.layout, sessionText)) return false;
  publisher.tickCount = 0;
  SetConnected(publisher.region, true);
  return true;
}

}  // namespace publisher
