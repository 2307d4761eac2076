// The simulated unit's console: line assembly, the commands the update tool
// sends, image reception, the reboot, and the faults a test can switch on.
#include "UnitModel.h"

#include <stdlib.h>

#include <algorithm>

namespace {

const char kHelpCommand[] = "%help -c version";
const char kVersionCommand[] = "%fw -v";
const char kProductCommand[] = "%fw -p";
const char kLogicAnnouncement[] = "%fw -l";
const char kFirmwareAnnouncement[] = "%fw -h";
const char kUnknownCommandReply[] = "Unknown command\r\n>>";
const char kBadArgumentsReply[] = "Invalid parameters\r\n>>";

// The console keeps this much of a line; the rest of a longer one is lost.
const size_t kLineCapacity = 256;
// Dropping the bytes already taken from the front of the output queue once
// this many have piled up keeps the queue short during a long run.
const size_t kCompactAfter = 4096;

bool ratesMatch(int sentAt, int receivedAt) { return sentAt == 0 || sentAt == receivedAt; }

// What a byte sent at one rate looks like to a receiver at another: never a
// printable character, so a garbled reply can't pass for a right one.
char garbled(char byte) {
  return static_cast<char>(0x80 | ((static_cast<unsigned char>(byte) * 37 + 11) & 0x7F));
}

bool startsWith(const std::string &text, const char *prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A decimal number of 1 to 10 digits that fits in `max`, and nothing else.
bool parseDecimal(const std::string &text, unsigned long long max, unsigned long long *value) {
  if (text.empty() || text.size() > 10) {
    return false;
  }
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v > max) {
    return false;
  }
  *value = v;
  return true;
}

}  // namespace

UnitModel::UnitModel(const UnitConfig &config) : config_(config), unitBaud_(config.baudRate) {}

void UnitModel::hostWrote(const uint8_t *data, size_t length, int hostBaud, uint64_t nowMs) {
  for (size_t k = 0; k < length && !vanished_; k++) {
    const uint8_t byte = data[k];
    const bool afterLineEnd = lineEndSeen_;
    lineEndSeen_ = false;
    if (!listening_) {
      return;
    }
    // A byte sent at another rate is line noise to the unit's receiver; it
    // breaks off a flood.
    if (!ratesMatch(unitBaud_, hostBaud)) {
      floodActive_ = false;
      continue;
    }
    if (nowMs < rebootEndsMs_) {
      continue;
    }
    hostBaud_ = hostBaud;
    // The tool ends its lines with "\n\r": the carriage return right after
    // the line feed belongs to the line end, also when image data follows.
    if (afterLineEnd && byte == '\r') {
      continue;
    }
    if (receivingImage_) {
      handleImageByte(byte, nowMs);
      continue;
    }
    if (byte == '\n') {
      lineEndSeen_ = true;
      const std::string line = line_;
      line_.clear();
      handleLine(line, nowMs);
    } else if (byte != '\r' && line_.size() < kLineCapacity) {
      line_ += static_cast<char>(byte);
    }
  }
}

void UnitModel::handleLine(const std::string &line, uint64_t nowMs) {
  if (line.empty()) {
    return;
  }
  commands_.push_back(line);
  // A line that begins with "%%" asks the console not to echo it; the
  // command follows the prefix ("%%" then "%fw -v").
  const bool echo = !startsWith(line, "%%");
  const std::string command = echo ? line : line.substr(2);
  const int baud = unitBaud_ != 0 ? unitBaud_ : hostBaud_;
  if (echo) {
    schedule(line + "\r\n", nowMs, 0, baud);
  }
  // A flooding console is too busy streaming to take any other command.
  if (floodActive_) {
    return;
  }
  if (config_.refuseAll) {
    schedule(kUnknownCommandReply, nowMs, 0, baud);
    return;
  }
  if (command == kHelpCommand && !config_.helpFlood.empty()) {
    startFlood(config_.helpFlood, nowMs, baud);
  } else if (command == kHelpCommand) {
    helpRepliesSeen_++;
    if (helpRepliesSeen_ <= config_.droppedHelpReplies) {
      return;
    }
    std::string reply = config_.helpReply;
    if (helpRepliesSeen_ - config_.droppedHelpReplies <= config_.garbledHelpReplies &&
        !reply.empty()) {
      if (config_.garbleHelpHead) {
        reply[0] = garbled(reply[0]);
      } else {
        reply.pop_back();
      }
    }
    schedule(reply, nowMs, 0, baud);
  } else if (command == kVersionCommand && updated_) {
    if (!config_.silentVersionAfterUpdate) {
      schedule(
          config_.updatedVersionReply.empty() ? config_.versionReply : config_.updatedVersionReply,
          nowMs, 0, baud);
    }
  } else if (command == kVersionCommand) {
    if (config_.floodOnVersion) {
      startFlood(config_.versionReply.empty() ? ">" : config_.versionReply, nowMs, baud);
    } else {
      schedule(config_.versionReply, nowMs, 0, baud);
    }
  } else if (command == kProductCommand) {
    schedule(config_.productId, nowMs, 0, baud);
  } else if (startsWith(command, kLogicAnnouncement) ||
             startsWith(command, kFirmwareAnnouncement)) {
    const size_t verbLength = sizeof kLogicAnnouncement - 1;
    if (command.size() > verbLength && command[verbLength] != ' ') {
      schedule(kUnknownCommandReply, nowMs, 0, baud);
      return;
    }
    handleAnnouncement(command.substr(0, verbLength),
                       command.size() > verbLength ? command.substr(verbLength + 1) : "", nowMs);
  } else {
    schedule(kUnknownCommandReply, nowMs, 0, baud);
  }
}

// "%fw -l <checksum> <length>" or "%fw -h <checksum> <length>": the unit
// answers "Ready", switches its line to the data rate and takes the next
// <length> bytes as the image.
void UnitModel::handleAnnouncement(const std::string &command, const std::string &arguments,
                                   uint64_t nowMs) {
  const int baud = unitBaud_ != 0 ? unitBaud_ : hostBaud_;
  const size_t blank = arguments.find(' ');
  unsigned long long checksum = 0;
  unsigned long long length = 0;
  if (blank == std::string::npos ||
      !parseDecimal(arguments.substr(0, blank), 0xFFFFFFFFull, &checksum) ||
      !parseDecimal(arguments.substr(blank + 1), 0x7FFFFFFFull, &length)) {
    schedule(kBadArgumentsReply, nowMs, 0, baud);
    return;
  }
  if (config_.noReady) {
    return;
  }
  schedule(config_.readyText, nowMs, config_.readyDelayMs, baud);
  if (config_.stopReadingAfterReady) {
    listening_ = false;
  }
  ReceivedImage image;
  image.command = command;
  image.announcedChecksum = static_cast<uint32_t>(checksum);
  image.announcedLength = static_cast<long>(length);
  images_.push_back(image);
  receivingImage_ = true;
  unitBaud_ = config_.dataBaudRate;
  if (length == 0) {
    finishImage(nowMs);
  }
}

void UnitModel::handleImageByte(uint8_t byte, uint64_t nowMs) {
  ReceivedImage &image = images_.back();
  image.data.push_back(byte);
  imageBytesTotal_++;
  if (config_.vanishAfterImageBytes >= 0 && imageBytesTotal_ >= config_.vanishAfterImageBytes) {
    vanish();
    return;
  }
  if (static_cast<long>(image.data.size()) == image.announcedLength) {
    finishImage(nowMs);
  }
}

void UnitModel::finishImage(uint64_t nowMs) {
  ReceivedImage &image = images_.back();
  receivingImage_ = false;
  image.complete = true;
  uint32_t sum = 0;
  for (uint8_t b : image.data) {
    sum += b;
  }
  image.checksumOk = static_cast<uint32_t>(sum + image.announcedChecksum) == 0;
  const int baud = unitBaud_ != 0 ? unitBaud_ : hostBaud_;
  schedule(image.checksumOk ? config_.dataAck : config_.badChecksumAck, nowMs, 0, baud);
  if (image.checksumOk && image.command != kFirmwareAnnouncement) {
    logicTaken_ = true;
  }
  if (!image.checksumOk || image.command != kFirmwareAnnouncement) {
    return;
  }
  updated_ = logicTaken_;
  // A good microcontroller image: the unit restarts on it, back at its console
  // rate, deaf until its boot text is out.
  const uint64_t ackEnd = pending_.empty() ? nowMs : pending_.back().dueMs;
  if (config_.hangUpAfterAckMs >= 0) {
    hangUpAtMs_ = ackEnd + static_cast<uint64_t>(config_.hangUpAfterAckMs);
  }
  unitBaud_ = config_.baudRate;
  line_.clear();
  rebootEndsMs_ = ackEnd + static_cast<uint64_t>(std::max(config_.bootDelayMs, 0));
  if (!config_.bootText.empty()) {
    const int bootAfter = static_cast<int>(rebootEndsMs_ - nowMs) - config_.replyDelayMs;
    schedule(config_.bootText, nowMs, std::max(bootAfter, 0), config_.baudRate);
  }
}

void UnitModel::vanish() {
  vanished_ = true;
  receivingImage_ = false;
  floodActive_ = false;
  pending_.clear();
  pendingHead_ = 0;
}

void UnitModel::schedule(const std::string &text, uint64_t nowMs, int extraDelayMs, int baud) {
  if (pendingHead_ >= kCompactAfter && pendingHead_ * 2 >= pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pendingHead_));
    pendingHead_ = 0;
  }
  uint64_t due = nowMs + static_cast<uint64_t>(std::max(config_.replyDelayMs, 0)) +
                 static_cast<uint64_t>(std::max(extraDelayMs, 0));
  // One serial line: a reply leaves behind what is still queued.
  if (pendingHead_ < pending_.size()) {
    due = std::max(due, pending_.back().dueMs);
  }
  const uint64_t gap = static_cast<uint64_t>(std::max(config_.replyByteGapMs, 0));
  for (size_t k = 0; k < text.size(); k++) {
    pending_.push_back(Pending{due + k * gap, text[k], baud});
  }
}

void UnitModel::startFlood(const std::string &text, uint64_t nowMs, int baud) {
  floodActive_ = true;
  floodText_ = text;
  floodSent_ = 0;
  floodBaud_ = baud;
  uint64_t from = nowMs + static_cast<uint64_t>(std::max(config_.replyDelayMs, 0));
  if (pendingHead_ < pending_.size()) {
    from = std::max(from, pending_.back().dueMs);
  }
  floodFromMs_ = from;
}

uint64_t UnitModel::floodByteTime(uint64_t n) const {
  // Line time at the flood's pace.
  const int pace = config_.floodPaceBaud > 0 ? config_.floodPaceBaud : floodBaud_;
  const uint64_t baud = pace > 0 ? static_cast<uint64_t>(pace) : 115200u;
  return floodFromMs_ + lineTimeMs(n + 1, baud);
}

void UnitModel::takeOutput(uint64_t nowMs, int hostBaud, std::string &out) {
  if (vanished_) {
    return;
  }
  while (pendingHead_ < pending_.size() && pending_[pendingHead_].dueMs <= nowMs) {
    const Pending &p = pending_[pendingHead_++];
    out += ratesMatch(p.baud, hostBaud) ? p.byte : garbled(p.byte);
  }
  // The flood starts once the queue ahead of it is out, and goes on until
  // line noise breaks it off.
  if (floodActive_ && pendingHead_ == pending_.size()) {
    while (floodByteTime(floodSent_) <= nowMs) {
      const char byte = floodText_[static_cast<size_t>(floodSent_ % floodText_.size())];
      out += ratesMatch(floodBaud_, hostBaud) ? byte : garbled(byte);
      floodSent_++;
    }
  }
  // The unit drops its line once its last acknowledgement is out.
  if (nowMs >= hangUpAtMs_) {
    vanish();
  }
}

uint64_t UnitModel::nextOutputTime() const {
  if (vanished_) {
    return UINT64_MAX;
  }
  // A coming hang-up counts too, so that whoever drives the unit is there.
  if (pendingHead_ < pending_.size()) {
    return std::min(pending_[pendingHead_].dueMs, hangUpAtMs_);
  }
  if (floodActive_) {
    return std::min(floodByteTime(floodSent_), hangUpAtMs_);
  }
  return hangUpAtMs_;
}

void UnitModel::hostOpened(uint64_t nowMs) {
  // The host's driver empties its input queue at open: what the unit sent
  // before is gone, what it sends from now on arrives.
  while (pendingHead_ < pending_.size() && pending_[pendingHead_].dueMs <= nowMs) {
    pendingHead_++;
  }
  if (floodActive_ && pendingHead_ == pending_.size()) {
    while (floodByteTime(floodSent_) <= nowMs) {
      floodSent_++;
    }
  }
}
