// The simulated unit on its own: what it hears, what it answers and when,
// and what it records. The update runs that use it are the other tests;
// these pin the corners those runs pass only once or never.
#include <gtest/gtest.h>

#include <string>

#include "UnitModel.h"

namespace {

const char kHelp[] =
    "version\n\r   version <no parameters> {Get the current firmware version}\r\n>>";

struct Host {
  UnitModel unit;
  int baud;
  explicit Host(const UnitConfig &config) : unit(config), baud(config.baudRate) {}
  void send(const std::string &bytes, uint64_t nowMs) {
    unit.hostWrote(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), baud, nowMs);
  }
  std::string receive(uint64_t nowMs) {
    std::string out;
    unit.takeOutput(nowMs, baud, out);
    return out;
  }
};

uint32_t checksumOf(const std::string &image) {
  uint32_t sum = 0;
  for (unsigned char c : image) {
    sum -= c;
  }
  return sum;
}

std::string announce(const char *command, const std::string &image, uint32_t checksum) {
  return std::string("%%") + command + " " + std::to_string(checksum) + " " +
         std::to_string(image.size()) + "\n\r";
}

TEST(UnitModel, HearsAndAnswersOnlyAtItsRate) {
  UnitConfig config;
  config.baudRate = 57600;
  Host host(config);
  host.baud = 115200;
  host.send("%%%help -c version\n\r", 0);
  EXPECT_EQ(host.unit.nextOutputTime(), UINT64_MAX);
  EXPECT_TRUE(host.unit.commands().empty());

  host.baud = 57600;
  host.send("%%%help -c version\n\r", 100);
  EXPECT_EQ(host.receive(100 + config.replyDelayMs - 1), "");
  // Read at another rate the reply is garbage, never the text.
  std::string garbled;
  host.unit.takeOutput(200, 9600, garbled);
  ASSERT_EQ(garbled.size(), std::string(kHelp).size());
  for (size_t k = 0; k < garbled.size(); k++) {
    EXPECT_NE(garbled[k], kHelp[k]) << k;
  }
  host.send("%%%help -c version\n\r", 300);
  EXPECT_EQ(host.receive(400), kHelp);
  EXPECT_EQ(host.unit.commands(),
            (std::vector<std::string>{"%%%help -c version", "%%%help -c version"}));
}

TEST(UnitModel, ConsoleLines) {
  struct Case {
    const char *name;
    std::string sent;
    std::string reply;
  } cases[] = {
      {"no-echo prefix", "%%%fw -p\n\r", "Korvex 6G SDI EXTENDER TX\r\n>>"},
      {"echoed without the prefix", "%fw -p\n\r", "%fw -p\r\nKorvex 6G SDI EXTENDER TX\r\n>>"},
      {"only one percent sign after the prefix", "%%fw -p\n\r", "Unknown command\r\n>>"},
      {"unknown verb", "%%%fw -x\n\r", "Unknown command\r\n>>"},
      {"announcement without numbers", "%%%fw -l\n\r", "Invalid parameters\r\n>>"},
      {"checksum beyond 32 bits", "%%%fw -l 4294967296 3\n\r", "Invalid parameters\r\n>>"},
      {"length not a number", "%%%fw -l 1 x3\n\r", "Invalid parameters\r\n>>"},
      {"an empty line is no command", "\n\r", ""},
  };
  for (const Case &c : cases) {
    UnitConfig config;
    Host host(config);
    host.send(c.sent, 0);
    EXPECT_EQ(host.receive(1000), c.reply) << c.name;
    EXPECT_TRUE(host.unit.images().empty()) << c.name;
  }
}

// The whole upload dialogue at the unit's end, including an image that
// starts with a carriage return right behind the announcement's "\n\r".
TEST(UnitModel, ImagesAreTakenAtTheDataRateAndAcknowledged) {
  UnitConfig config;
  config.baudRate = 9600;
  config.bootDelayMs = 5000;
  Host host(config);
  const std::string logic = "\r\nlogic\x00\xff", firmware = "\rfw";
  host.send(announce("%fw -l", logic, checksumOf(logic)), 0);
  EXPECT_EQ(host.receive(100), "Ready");
  EXPECT_EQ(host.unit.currentBaud(), 115200);
  host.baud = 115200;
  host.send(logic.substr(0, 3), 200);
  host.send(logic.substr(3), 300);
  EXPECT_EQ(host.receive(400), "SUCCESS");
  // The firmware announcement and its image in one write, at the data rate.
  host.send(announce("%fw -h", firmware, checksumOf(firmware)) + firmware, 500);
  EXPECT_EQ(host.receive(600), "ReadySUCCESS");
  ASSERT_EQ(host.unit.images().size(), 2u);
  for (size_t k = 0; k < 2; k++) {
    const ReceivedImage &image = host.unit.images()[k];
    const std::string &data = k == 0 ? logic : firmware;
    EXPECT_EQ(image.command, k == 0 ? "%fw -l" : "%fw -h");
    EXPECT_EQ(std::string(image.data.begin(), image.data.end()), data);
    EXPECT_EQ(image.announcedLength, static_cast<long>(data.size()));
    EXPECT_TRUE(image.checksumOk);
    EXPECT_TRUE(image.complete);
  }
  // Rebooting: back at its console rate, deaf until the boot text.
  EXPECT_EQ(host.unit.currentBaud(), 9600);
  host.baud = 9600;
  host.send("%%%fw -v\n\r", 1000);
  EXPECT_EQ(host.receive(5000), "");
  EXPECT_EQ(host.unit.nextOutputTime(), 505u + 5000u);
  EXPECT_EQ(host.receive(5505), config.bootText);
  host.send("%%%fw -v\n\r", 6000);
  EXPECT_EQ(host.receive(7000), config.versionReply);
}

TEST(UnitModel, AFloodNeverEndsAndGoesAtTheLineRate) {
  UnitConfig config;
  config.baudRate = 115200;
  config.floodOnVersion = true;
  Host host(config);
  host.send("%%%fw -v\n\r", 0);
  const std::string first = host.receive(1000 + config.replyDelayMs);
  EXPECT_EQ(first.size(), 11520u);  // one second at 115200 baud, ten bits a byte
  EXPECT_EQ(first.substr(0, config.versionReply.size()), config.versionReply);
  EXPECT_GT(host.unit.nextOutputTime(), 1000u + config.replyDelayMs);
  EXPECT_EQ(host.receive(61000 + config.replyDelayMs).size(), 60u * 11520u);
}

}  // namespace
