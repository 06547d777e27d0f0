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
    bool newestPublished = false;
    // A row while the simulator was not running means it has started:
    // look at once rather than at the next second.
    if (!checked || now - lastCheck_ >= kCheckIntervalNanoseconds || (row && !running_)) {
      newestPublished = Check(now);
      checked = region_.attached;
    }
    if (!row || !running_ || newestPublished) continue;
    // The row was copied under the layout compared here, or under an
    // earlier one: either way a changed layout means it cannot be told
    // which, so it is passed over for the newest row read through the new
    // directory.
    if (SameLayout(region_, layout_)) {
      PublishRow();
      continue;
    }
    Changes found;
    const bool fits = Relayout(found);
    if (!fits) found.running = running_ = false;
    PostChanges(found);
    if (fits) PublishNewestRow();
  }
}

bool SimulatorLink::Check(std::int64_t now) {
  lastCheck_ = now;
  const simlink::RegionHeader header = simlink::Header(region_);
  Changes found;
  bool running = (header.status & simlink::layout::kStatusConnected) != 0;
  bool newLayout = false;
  // A header that does not fit the mapping is no simulator.
  if (running && (!layoutKnown_ || !SameLayout(region_, layout_))) {
    running = newLayout = Relayout(found);
  }
  const bool started = running && !running_;
  if (running != running_) found.running = running_ = running;
  if (!running) {
    if (notRunningSince_ == 0) notRunningSince_ = now;
    if (now - notRunningSince_ >= kReattachAfterNanoseconds) Detach();
  } else {
    notRunningSince_ = 0;
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
  PostChanges(found);
  // The newest row at once: rows may have stopped (the simulator paused),
  // and a row fetched before the layout was read is not sent.
  if (newLayout || started) {
    PublishNewestRow();
    return true;
  }
  return false;
}

bool SimulatorLink::Relayout(Changes& found) {
  RegionLayout layout;
  if (!ReadLayout(region_, &layout)) return false;
  found.directory = std::make_shared<const Directory>(MakeDirectory(layout));
  found.directoryVersion = ++directoryVersion_;
  // The row length fits the mapping, or the layout would not have been read.
  copy_.bytes.assign(static_cast<std::size_t>(layout.rowLength), 0);
  layout_ = std::move(layout);
  layoutKnown_ = true;
  return true;
}

void SimulatorLink::PostChanges(Changes& found) {
  if (!found.running && found.directory == nullptr && !found.session && !found.tickRate) return;
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
}

bool SimulatorLink::PublishNewestRow() {
  // Published only when the layout still is the one just read: the row is
  // then laid out by it.
  if (!simlink::CopyNewestRow(region_, copy_) || !SameLayout(region_, layout_)) return false;
  PublishRow();
  return true;
}

// Lets go of the region, so that the next attach opens whatever the
// simulator lays out when it starts again.
void SimulatorLink::Detach() {
  if (region_.mapping != nullptr) platform::CloseNamedMapping(region_.mapping, &region_.view);
  if (region_.event != nullptr) platform::CloseNamedEvent(region_.event);
  region_ = simlink::TelemetryRegion{};
  layout_ = RegionLayout{};
  layoutKnown_ = false;
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
