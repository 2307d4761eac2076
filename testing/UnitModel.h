// A simulated TX or RX unit of the extender, as seen from its serial console.
//
// The model is pure logic on a clock given by the caller: the in-process
// simulated platform drives it on a virtual clock, the pseudo-terminal
// simulator on the real one. It knows the console commands the update tool
// sends, answers only when the host's line runs at the unit's rate, and can
// misbehave in every way the tool must survive.
#ifndef UNITMODEL_H
#define UNITMODEL_H

#include <stdint.h>

#include <string>
#include <vector>

// How long `bytes` bytes take on a line at `baud` bits a second, ten bits a
// byte (start, eight data, stop), in milliseconds rounded up: a byte is
// there once its last bit is.
inline uint64_t lineTimeMs(uint64_t bytes, uint64_t baud) {
  return (bytes * 10u * 1000u + baud - 1) / baud;
}

struct UnitConfig {
  // Line rate of the unit's console. During and between the two image
  // transfers the unit runs at dataBaudRate; it returns to baudRate when it
  // reboots after the microcontroller image. 0: the console understands the
  // host at any rate.
  int baudRate = 57600;
  int dataBaudRate = 115200;

  // Reply to "%fw -v" (the tool turns line ends into blanks and reads
  // "%d.%d.%d %s %d.%d %d").
  std::string versionReply = "1.0.8\r\nK6G-TX 1.3 1\r\n>>";
  // Reply to "%fw -v" once the unit has taken both images and restarted on
  // them ("": the same as before), or none at all with silentVersionAfterUpdate.
  std::string updatedVersionReply;
  bool silentVersionAfterUpdate = false;
  // Reply to "%fw -p".
  std::string productId = "Korvex 6G SDI EXTENDER TX\r\n>>";
  // Reply to "%help -c version".
  std::string helpReply =
      "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

  // Delay between the end of a command and the first byte of its reply, and
  // between two bytes of a reply (0: a reply leaves in one piece).
  int replyDelayMs = 5;
  int replyByteGapMs = 0;

  // Faults.
  int garbledHelpReplies = 0;       // the first N help replies lose their last byte
  bool garbleHelpHead = false;      // ... or, instead, arrive with a wrong first byte
  int droppedHelpReplies = 0;       // the first N help commands get no reply
  bool noReady = false;             // never answer "%fw -l" / "%fw -h"
  int readyDelayMs = 0;             // extra delay before "Ready"
  std::string readyText = "Ready";  // what the unit answers to an announcement
  std::string dataAck = "SUCCESS";  // acknowledgement of a whole image whose checksum is right
  std::string badChecksumAck = "ERROR: checksum";
  bool floodOnVersion = false;  // answer "%fw -v" with an endless stream
  std::string helpFlood;        // answer "%help -c version" with this text, repeated without end
  // Pace of a flood in bits a second, ten a byte; 0: the line rate. A
  // pseudo-terminal is not held to the line rate, so a flood may go faster,
  // and a slow pace makes a trickle. Bytes at another rate than the unit's
  // (line noise) end a flood.
  int floodPaceBaud = 0;
  bool stopReadingAfterReady = false;  // take nothing more from the line once "Ready" is queued
  int hangUpAfterAckMs = -1;  // drop the line this long after acknowledging the firmware image
  long vanishAfterImageBytes = -1;  // disappear after this many image bytes (pty: close)
  bool refuseAll = false;           // answer every command with "Unknown command\r\n>>"

  // What the unit prints once it has rebooted, and when (ms after it has
  // acknowledged the microcontroller image). An empty text: nothing.
  std::string bootText = "[ 6G-SDI ] unit ready\r\n>>";
  int bootDelayMs = 145000;
};

struct ReceivedImage {
  std::string command;  // "%fw -l" or "%fw -h"
  uint32_t announcedChecksum = 0;
  long announcedLength = 0;
  std::vector<uint8_t> data;  // the bytes received
  bool checksumOk = false;    // announced checksum + byte sum == 0 (mod 2^32)
  bool complete = false;      // all announced bytes arrived
};

class UnitModel {
 public:
  explicit UnitModel(const UnitConfig &config);

  // The host wrote these bytes at time nowMs while its line ran at hostBaud.
  void hostWrote(const uint8_t *data, size_t length, int hostBaud, uint64_t nowMs);

  // Appends to out every byte the unit has sent by nowMs, as the host
  // receives it at hostBaud (bytes sent at another rate arrive garbled).
  void takeOutput(uint64_t nowMs, int hostBaud, std::string &out);

  // When the next byte for the host is due; UINT64_MAX when nothing is.
  uint64_t nextOutputTime() const;

  // The host's port was opened anew (the driver purges what was queued).
  void hostOpened(uint64_t nowMs);

  const std::vector<ReceivedImage> &images() const { return images_; }
  // Every console line received at the right rate, as it arrived (without
  // its line end), e.g. "%%%fw -v" (the no-echo prefix "%%", then "%fw -v").
  const std::vector<std::string> &commands() const { return commands_; }
  // The unit has disappeared (vanishAfterImageBytes or hangUpAfterAckMs).
  bool vanished() const { return vanished_; }
  // The unit takes what the host writes (not so after stopReadingAfterReady).
  bool listening() const { return listening_ && !vanished_; }
  // The rate the unit's line runs at now.
  int currentBaud() const { return unitBaud_; }

 private:
  struct Pending {
    uint64_t dueMs;
    char byte;
    int baud;  // rate the byte is sent at (0: whatever rate the host runs at)
  };
  // Starts an endless stream of `text` behind whatever is still queued.
  void startFlood(const std::string &text, uint64_t nowMs, int baud);
  // Queues a text behind whatever is still queued, its first byte no earlier
  // than replyDelayMs + extraDelayMs after nowMs, sent at the rate `baud`.
  void schedule(const std::string &text, uint64_t nowMs, int extraDelayMs, int baud);
  void handleLine(const std::string &line, uint64_t nowMs);
  void handleAnnouncement(const std::string &command, const std::string &arguments, uint64_t nowMs);
  void handleImageByte(uint8_t byte, uint64_t nowMs);
  void finishImage(uint64_t nowMs);
  void vanish();
  // When flood byte number n (0-based) is due.
  uint64_t floodByteTime(uint64_t n) const;

  UnitConfig config_;
  int unitBaud_;
  std::string line_;
  bool lineEndSeen_ = false;      // the byte before was the line feed that ends a line
  std::vector<Pending> pending_;  // ordered by dueMs
  size_t pendingHead_ = 0;
  bool floodActive_ = false;
  std::string floodText_;
  uint64_t floodFromMs_ = 0;
  uint64_t floodSent_ = 0;
  int floodBaud_ = 0;
  int hostBaud_ = 0;  // the host's rate when its last byte arrived
  bool receivingImage_ = false;
  uint64_t rebootEndsMs_ = 0;  // commands before this time go unheard
  std::vector<ReceivedImage> images_;
  std::vector<std::string> commands_;
  int helpRepliesSeen_ = 0;
  bool vanished_ = false;
  bool listening_ = true;
  uint64_t hangUpAtMs_ = UINT64_MAX;
  long imageBytesTotal_ = 0;
  bool logicTaken_ = false;  // a good logic image arrived
  bool updated_ = false;     // ... and then a good microcontroller image
};

#endif
