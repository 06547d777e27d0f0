// Reading the simulator's region on a thread of its own.
#include "relay-web/simulator_link.h"

#include <boost/asio/post.hpp>
#include <cstdio>

#include "platform/platform.h"
#include "relay/messages.h"
#include "sessioninfo/car_facts.h"

namespace web {

SimulatorLink::SimulatorLink(boost::asio::io_context& io, Feed& feed) : io_(io), feed_(feed) {}

SimulatorLink::~SimulatorLink() {
  stop_ = true;
  if (reader_.joinable()) reader_.join();
  Detach();
}

void SimulatorLink::Start() {
  std::printf("relay-web: reading the simulator on this machine (waiting for it to start)\n");
  std::fflush(stdout);
  reader_ = std::thread([this] { ReadLoop(); });
}

void SimulatorLink::ReadLoop() {
  bool checked = false;  // since attaching
  while (!stop_) {
    // Waits on the data-valid event (at most 16 ms), or sleeps 16 ms while
    // the simulator's objects do not exist, just as the relay does.
    const bool row = simlink::WaitForRow(region_, &copy_);
    if (!region_.attached) {
      checked = false;
      continue;
    }
    const std::int64_t now = platform::MonotonicNanoseconds();
    bool newDirectory = false;
    // A row while the simulator was not running means it has started:
    // look at once rather than at the next second.
    if (!checked || now - lastCheck_ >= kCheckIntervalNanoseconds || (row && !running_)) {
      newDirectory = Check(now);
      checked = region_.attached;
    }
    // A row copied before its directory was read is not sent.
    if (row && running_ && !newDirectory) PublishRow();
  }
}

bool SimulatorLink::Check(std::int64_t now) {
  lastCheck_ = now;
  const simlink::RegionHeader header = simlink::Header(region_);
  const bool running = (header.status & simlink::layout::kStatusConnected) != 0;
  Changes found;
  if (running != running_) found.running = running_ = running;
  if (!running) {
    if (notRunningSince_ == 0) notRunningSince_ = now;
    if (now - notRunningSince_ >= kReattachAfterNanoseconds) Detach();
  } else {
    notRunningSince_ = 0;
    // A new row length or new records: a new directory, and the rows from
    // now on are laid out by it.
    std::vector<std::uint8_t> records;
    const bool readable = ReadRecordBytes(region_, &records);
    const auto rowLength = static_cast<std::size_t>(header.rowLength > 0 ? header.rowLength : 0);
    if (readable && (rowLength != copy_.bytes.size() || records != records_)) {
      copy_.bytes.assign(rowLength, 0);
      records_ = std::move(records);
      found.directory = std::make_shared<const Directory>(ReadDirectory(region_));
      found.directoryVersion = ++directoryVersion_;
    }
    std::int32_t tickRate = 0;
    if (simlink::ReadInt32(region_.view, simlink::layout::kTickRate, &tickRate) &&
        tickRate != tickRate_) {
      tickRate_ = tickRate;
      found.tickRate = tickRate;
    }
    // The session text, taken when two reads agree: the simulator may be
    // rewriting it.
    const std::string_view area = simlink::SessionInfoArea(region_);
    const std::string_view text = area.substr(0, area.find('\0'));
    if (!area.empty() && text != text_) {
      std::string copy(text);
      const std::string_view again = simlink::SessionInfoArea(region_);
      if (again.substr(0, again.find('\0')) == copy) {
        sessioninfo::CarFacts facts;
        sessioninfo::ReadCarFacts(std::string_view(copy), facts);
        stream::SessionInfo session{relay::TruncateToInt32(facts.firstRpm),
                                    relay::TruncateToInt32(facts.lastRpm),
                                    relay::TruncateToInt32(facts.shiftRpm),
                                    relay::TruncateToInt32(facts.blinkRpm), facts.carPath};
        found.session = SessionJson(session);
        found.sessionText = copy;
        text_ = std::move(copy);
      }
    }
  }
  const bool newDirectory = found.directory != nullptr;
  if (!found.running && !newDirectory && !found.session && !found.tickRate) return false;
  {
    const std::lock_guard<std::mutex> lock(changesMutex_);
    if (found.running) changes_.running = found.running;
    if (found.directory != nullptr) {
      changes_.directory = std::move(found.directory);
      changes_.directoryVersion = found.directoryVersion;
    }
    if (found.session) {
      changes_.session = std::move(found.session);
      changes_.sessionText = std::move(found.sessionText);
    }
    if (found.tickRate) changes_.tickRate = found.tickRate;
  }
  Post();
  return newDirectory;
}

// Lets go of the region, so that the next attach opens whatever the
// simulator lays out when it starts again.
void SimulatorLink::Detach() {
  if (region_.mapping != nullptr) platform::CloseNamedMapping(region_.mapping, &region_.view);
  if (region_.event != nullptr) platform::CloseNamedEvent(region_.event);
  region_ = simlink::TelemetryRegion{};
  records_.clear();
  text_.clear();
  tickRate_ = 0;
  copy_.bytes.clear();
  notRunningSince_ = 0;
}

void SimulatorLink::PublishRow() {
  Slot& slot = slots_[static_cast<std::size_t>(back_)];
  slot.bytes.assign(copy_.bytes.begin(), copy_.bytes.end());
  slot.tick = region_.lastTickCount;
  slot.directory = directoryVersion_;
  back_ = middle_.exchange(back_ | kFresh) & ~kFresh;
  Post();
}

void SimulatorLink::Post() {
  if (posted_.exchange(true)) return;
  boost::asio::post(io_, WithMemory(postMemory_, [this] { Deliver(); }));
}

void SimulatorLink::Deliver() {
  // Cleared first: whatever the reader hands over from now on posts anew.
  posted_ = false;
  Changes changes;
  {
    const std::lock_guard<std::mutex> lock(changesMutex_);
    changes = std::move(changes_);
    changes_ = Changes{};
  }
  if (changes.running) {
    std::printf("relay-web: %s\n", *changes.running ? "the simulator is running"
                                                    : "the simulator stopped; waiting for it");
    std::fflush(stdout);
    feed_.PublishStatus(*changes.running);
  }
  if (changes.directory != nullptr) {
    directory_ = changes.directory;
    appliedVersion_ = changes.directoryVersion;
    feed_.PublishDirectory(directory_);
  }
  if (changes.tickRate) feed_.SetTickRate(*changes.tickRate);
  if (changes.sessionText) feed_.PublishSessionText(std::move(*changes.sessionText));
  if (changes.session) feed_.PublishSession(std::move(*changes.session));

  if ((middle_.load() & kFresh) == 0) return;
  front_ = middle_.exchange(front_) & ~kFresh;
  const Slot& slot = slots_[static_cast<std::size_t>(front_)];
  if (directory_ == nullptr || slot.directory != appliedVersion_) return;
  // The relay's own DATA_PACKET of this row, made into the data message:
  // the same bytes a relay's client would have led to.
  char packet[relay::kPacketBufferSize];
  const std::size_t length = relay::FormatDataPacket(slot.bytes, directory_->relayOffsets, packet);
  const std::shared_ptr<std::string> json = dataBuffers_.Free();
  DataJson(std::string_view(packet, length), *json);
  feed_.PublishRow(json, slot.bytes, slot.tick);
}

}  // namespace web
