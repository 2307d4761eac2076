// unitsim: plays one TX or RX unit of the extender on a pseudo-terminal.
//
// It opens a pseudo-terminal pair, links <dir>/dosdevices/com<N> to the slave
// side (where the update tool, run from <dir>, finds its COM port) and plays
// one simulated unit on the master side on the real clock. The host's line
// rate is read from the slave's line settings, so the unit hears the host
// only when the host runs at the unit's rate, as on a real line.
//
//   unitsim --dir DIR --com N [options]
//
// It prints "unitsim: com<N> -> <device>" once the link exists and runs until
// SIGTERM or SIGINT, then removes its link and writes what it received when
// --record is given.
#if defined(__linux__) && !defined(_GNU_SOURCE)
#define _GNU_SOURCE
#endif

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/PosixClock.h"
#include "platform/PosixLineSettings.h"
#include "platform/PosixTermios2.h"
#include "UnitModel.h"

namespace {

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

const char kUsage[] =
    "usage: unitsim --dir DIR --com N [options]\n"
    "  --dir DIR            directory of the tool; the link is DIR/dosdevices/com<N>\n"
    "  --com N              port number\n"
    "  --role tx|rx         unit role (default tx)\n"
    "  --variant 1|2        identification text: 1 EXTENDER, 2 PELMAROTH-B (default 1)\n"
    "  --product TEXT       reply to \"%fw -p\" (overrides role and variant)\n"
    "  --device-code N      logic-device code in the version reply (default 1)\n"
    "  --version TEXT       whole reply to \"%fw -v\" (overrides --device-code)\n"
    "  --help-text TEXT     reply to \"%help -c version\"\n"
    "  --baud N             console rate (default 57600; 0: any rate)\n"
    "  --data-baud N        rate during the image transfers (default 115200)\n"
    "  --reply-delay MS     delay before a reply (default 5)\n"
    "  --reply-gap MS       gap between two reply bytes (default 0)\n"
    "  --garble-help N      the first N help replies lose their last byte\n"
    "  --drop-help N        the first N help commands get no reply\n"
    "  --no-ready           never answer an image announcement\n"
    "  --ready-delay MS     extra delay before \"Ready\"\n"
    "  --ready-text TEXT    answer to an announcement instead of \"Ready\"\n"
    "  --ack TEXT           acknowledgement of a good image instead of \"SUCCESS\"\n"
    "  --bad-ack TEXT       acknowledgement of an image with a wrong checksum\n"
    "  --boot-delay MS      from the firmware acknowledgement to the boot text\n"
    "  --boot-text TEXT     what the unit prints once rebooted (\"\": nothing)\n"
    "  --flood-version      answer \"%fw -v\" with an endless stream\n"
    "  --flood-help TEXT    answer \"%help -c version\" with TEXT repeated without end\n"
    "  --flood-pace N       pace of a flood in bits/s, ten a byte (default: the line rate);\n"
    "                       a byte at another rate than the unit's ends a flood\n"
    "  --stop-reading-after-ready  read nothing more from the line once \"Ready\" is queued\n"
    "  --hang-up-after-ack MS  drop the line (close it, remove the link) MS after\n"
    "                       acknowledging the microcontroller image\n"
    "  --refuse             answer every command with \"Unknown command\"\n"
    "  --vanish-after N     disappear (close the line, remove the link) after N image bytes\n"
    "  --hold               hold the port open, as another program would\n"
    "  --absent             link to a device that does not exist\n"
    "  --record DIR         write the received images and commands to DIR\n"
    "TEXT takes the escapes \\r \\n \\t \\\\ and \\xHH.\n";

[[noreturn]] void fail(const std::string &message) {
  fprintf(stderr, "unitsim: %s\n", message.c_str());
  exit(2);
}

// "\r", "\n", "\t", "\\" and "\xHH" in a command-line text.
std::string unescape(const std::string &text) {
  std::string out;
  for (size_t k = 0; k < text.size(); k++) {
    if (text[k] != '\\' || k + 1 >= text.size()) {
      out += text[k];
      continue;
    }
    const char c = text[++k];
    if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 't') {
      out += '\t';
    } else if (c == '\\') {
      out += '\\';
    } else if (c == 'x' && k + 2 < text.size() &&
               isxdigit(static_cast<unsigned char>(text[k + 1])) &&
               isxdigit(static_cast<unsigned char>(text[k + 2]))) {
      out += static_cast<char>(strtol(text.substr(k + 1, 2).c_str(), nullptr, 16));
      k += 2;
    } else {
      fail("bad escape \\" + std::string(1, c) + " in \"" + text + "\"");
    }
  }
  return out;
}

// The reverse, for the commands log: one line per command, any byte visible.
std::string escape(const std::string &text) {
  std::string out;
  for (unsigned char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

long parseNumber(const std::string &option, const char *text, long min, long max) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
    fail("bad number for " + option + ": \"" + text + "\"");
  }
  return value;
}

struct Options {
  std::string dir;
  int com = 0;
  bool rx = false;
  int variant = 1;
  bool productGiven = false;
  int deviceCode = 1;
  bool versionGiven = false;
  bool hold = false;
  bool absent = false;
  std::string recordDir;
  UnitConfig config;
};

Options parseOptions(int argc, char **argv) {
  Options o;
  for (int k = 1; k < argc; k++) {
    const std::string opt = argv[k];
    auto value = [&]() -> const char * {
      if (k + 1 >= argc) {
        fail(opt + " needs a value");
      }
      return argv[++k];
    };
    if (opt == "--dir") {
      o.dir = value();
    } else if (opt == "--com") {
      o.com = static_cast<int>(parseNumber(opt, value(), 1, 255));
    } else if (opt == "--role") {
      const std::string role = value();
      if (role != "tx" && role != "rx") {
        fail("--role is tx or rx");
      }
      o.rx = role == "rx";
    } else if (opt == "--variant") {
      o.variant = static_cast<int>(parseNumber(opt, value(), 1, 2));
    } else if (opt == "--product") {
      o.config.productId = unescape(value());
      o.productGiven = true;
    } else if (opt == "--device-code") {
      o.deviceCode = static_cast<int>(parseNumber(opt, value(), -1000, 1000));
    } else if (opt == "--version") {
      o.config.versionReply = unescape(value());
      o.versionGiven = true;
    } else if (opt == "--help-text") {
      o.config.helpReply = unescape(value());
    } else if (opt == "--baud") {
      o.config.baudRate = static_cast<int>(parseNumber(opt, value(), 0, 4000000));
    } else if (opt == "--data-baud") {
      o.config.dataBaudRate = static_cast<int>(parseNumber(opt, value(), 0, 4000000));
    } else if (opt == "--reply-delay") {
      o.config.replyDelayMs = static_cast<int>(parseNumber(opt, value(), 0, 600000));
    } else if (opt == "--reply-gap") {
      o.config.replyByteGapMs = static_cast<int>(parseNumber(opt, value(), 0, 600000));
    } else if (opt == "--garble-help") {
      o.config.garbledHelpReplies = static_cast<int>(parseNumber(opt, value(), 0, 1000000));
    } else if (opt == "--drop-help") {
      o.config.droppedHelpReplies = static_cast<int>(parseNumber(opt, value(), 0, 1000000));
    } else if (opt == "--no-ready") {
      o.config.noReady = true;
    } else if (opt == "--ready-delay") {
      o.config.readyDelayMs = static_cast<int>(parseNumber(opt, value(), 0, 600000));
    } else if (opt == "--ready-text") {
      o.config.readyText = unescape(value());
    } else if (opt == "--ack") {
      o.config.dataAck = unescape(value());
    } else if (opt == "--bad-ack") {
      o.config.badChecksumAck = unescape(value());
    } else if (opt == "--boot-delay") {
      o.config.bootDelayMs = static_cast<int>(parseNumber(opt, value(), 0, 3600000));
    } else if (opt == "--boot-text") {
      o.config.bootText = unescape(value());
    } else if (opt == "--flood-version") {
      o.config.floodOnVersion = true;
    } else if (opt == "--flood-help") {
      o.config.helpFlood = unescape(value());
      if (o.config.helpFlood.empty()) {
        fail("--flood-help needs a text");
      }
    } else if (opt == "--flood-pace") {
      o.config.floodPaceBaud = static_cast<int>(parseNumber(opt, value(), 1, 100000000));
    } else if (opt == "--stop-reading-after-ready") {
      o.config.stopReadingAfterReady = true;
    } else if (opt == "--hang-up-after-ack") {
      o.config.hangUpAfterAckMs = static_cast<int>(parseNumber(opt, value(), 0, 600000));
    } else if (opt == "--refuse") {
      o.config.refuseAll = true;
    } else if (opt == "--vanish-after") {
      o.config.vanishAfterImageBytes = parseNumber(opt, value(), 0, 0x7FFFFFFF);
    } else if (opt == "--hold") {
      o.hold = true;
    } else if (opt == "--absent") {
      o.absent = true;
    } else if (opt == "--record") {
      o.recordDir = value();
    } else if (opt == "-h" || opt == "--usage") {
      fputs(kUsage, stdout);
      exit(0);
    } else {
      fprintf(stderr, "%s", kUsage);
      fail("unknown option " + opt);
    }
  }
  if (o.dir.empty() || o.com == 0) {
    fprintf(stderr, "%s", kUsage);
    fail("--dir and --com are required");
  }
  const char *role = o.rx ? "RX" : "TX";
  if (!o.productGiven) {
    o.config.productId =
        std::string(o.variant == 1 ? "Korvex 6G SDI EXTENDER " : "Korvex 6G SDI EXT PELMAROTH-B ") +
        role + "\r\n>>";
  }
  if (!o.versionGiven) {
    o.config.versionReply =
        std::string("1.0.8\r\nK6G-") + role + " 1.3 " + std::to_string(o.deviceCode) + "\r\n>>";
  }
  return o;
}

void sleepMs(int ms) {
  struct timespec ts = {0, static_cast<long>(ms) * 1000000L};
  nanosleep(&ts, nullptr);
}

// The rate the slave side runs at: on Linux the master's line settings are
// the slave's.
int hostBaudOf(int master) {
#if POSIX_HAS_TERMIOS2
  struct termios2 t2;
  if (ioctl(master, TCGETS2, &t2) == 0) {
    return static_cast<int>(t2.c_ospeed);
  }
#endif
  struct termios t;
  if (tcgetattr(master, &t) != 0) {
    return -1;
  }
  const speed_t code = cfgetospeed(&t);
  DWORD rate = 0;
  if (posixRateOfCode(code, &rate)) {
    return static_cast<int>(rate);
  }
  return static_cast<int>(code);  // BSD and macOS: the code is the rate
}

bool writeFile(const std::string &path, const std::string &content) {
  const std::string temp = path + ".tmp";
  FILE *f = fopen(temp.c_str(), "wb");
  if (f == nullptr) {
    return false;
  }
  const bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  if (fclose(f) != 0 || !ok) {
    return false;
  }
  return rename(temp.c_str(), path.c_str()) == 0;
}

// DIR/imageK.bin and imageK.meta for every image, DIR/commands.log with one
// line per command heard: "<ms> <host rate> <command>".
void writeRecords(const std::string &dir, const UnitModel &unit,
                  const std::vector<std::string> &commandLog) {
  if (dir.empty()) {
    return;
  }
  mkdir(dir.c_str(), 0755);
  bool ok = true;
  for (size_t k = 0; k < unit.images().size(); k++) {
    const ReceivedImage &image = unit.images()[k];
    const std::string base = dir + "/image" + std::to_string(k + 1);
    ok &= writeFile(base + ".bin", std::string(image.data.begin(), image.data.end()));
    ok &= writeFile(base + ".meta", "command=" + image.command + "\n" +
                                        "checksum=" + std::to_string(image.announcedChecksum) +
                                        "\n" + "length=" + std::to_string(image.announcedLength) +
                                        "\n" + "received=" + std::to_string(image.data.size()) +
                                        "\n" + "checksumOk=" + (image.checksumOk ? "1" : "0") +
                                        "\n" + "complete=" + (image.complete ? "1" : "0") + "\n");
  }
  std::string log;
  for (const std::string &line : commandLog) {
    log += line + "\n";
  }
  ok &= writeFile(dir + "/commands.log", log);
  if (!ok) {
    fprintf(stderr, "unitsim: cannot write the records in %s: %s\n", dir.c_str(), strerror(errno));
  }
}

// Removes the link only if it is still ours.
void removeLink(const std::string &link, const std::string &target) {
  char buf[4096];
  const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n >= 0) {
    buf[n] = '\0';
    if (target == buf) {
      unlink(link.c_str());
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = parseOptions(argc, argv);
  UnitModel unit(options.config);

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  const std::string devDir = options.dir + "/dosdevices";
  if (mkdir(devDir.c_str(), 0755) != 0 && errno != EEXIST) {
    fail("cannot create " + devDir + ": " + strerror(errno));
  }
  const std::string link = devDir + "/com" + std::to_string(options.com);

  int master = -1;
  int held = -1;
  std::string target;
  if (options.absent) {
    target = devDir + "/.absent-com" + std::to_string(options.com);
  } else {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
      fail(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
    }
    const char *slave = ptsname(master);
    if (slave == nullptr) {
      fail(std::string("ptsname: ") + strerror(errno));
    }
    target = slave;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    // Open the slave once to make it raw (no echo, no translation until the
    // tool sets its own line) and so that from now on the master reports
    // POLLHUP whenever no one holds the slave.
    const int s = open(slave, O_RDWR | O_NOCTTY);
    if (s < 0) {
      fail("cannot open " + target + ": " + strerror(errno));
    }
    struct termios t;
    if (tcgetattr(s, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(s, TCSANOW, &t);
    }
    if (options.hold) {
      // Another program holds the port: exclusive, and locked the way the
      // tool locks it.
      ioctl(s, TIOCEXCL);
      if (flock(s, LOCK_EX | LOCK_NB) != 0) {
        fail("cannot lock " + target + ": " + strerror(errno));
      }
      held = s;
    } else {
      close(s);
    }
  }

  // Another simulator's port, or one left behind, is not taken over.
  struct stat existing;
  if (lstat(link.c_str(), &existing) == 0) {
    fail(link + " exists already");
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    fail("cannot link " + link + ": " + strerror(errno));
  }
  printf("unitsim: com%d -> %s%s\n", options.com, target.c_str(),
         options.absent ? " (absent)" : (options.hold ? " (held)" : ""));
  fflush(stdout);

  const uint64_t start = posixMonotonicMs();
  std::vector<std::string> commandLog;
  std::string outQueue;  // bytes for the host not yet taken by the pty
  size_t imagesSeen = 0;
  bool lastComplete = false;
  std::vector<uint8_t> buffer(65536);

  while (!gStop) {
    if (master < 0) {
      sleepMs(50);  // absent or vanished: nothing to play
      continue;
    }
    const uint64_t now = posixMonotonicMs() - start;
    const uint64_t next = unit.nextOutputTime();
    int timeout = 50;
    if (next != UINT64_MAX) {
      timeout = next <= now ? 0 : static_cast<int>(next - now < 50 ? next - now : 50);
    }
    // A unit that has stopped reading leaves the host's bytes in the line,
    // which fills up and holds the host's writes.
    const short events =
        static_cast<short>((unit.listening() ? POLLIN : 0) | (outQueue.empty() ? 0 : POLLOUT));
    struct pollfd p = {master, events, 0};
    const int r = poll(&p, 1, timeout);
    if (r < 0 && errno != EINTR) {
      fail(std::string("poll: ") + strerror(errno));
    }
    const uint64_t t = posixMonotonicMs() - start;
    const int hostBaud = hostBaudOf(master);
    bool hostAway = false;
    if (r > 0 && (p.revents & POLLIN) != 0) {
      const ssize_t n = read(master, buffer.data(), buffer.size());
      if (n > 0) {
        const size_t before = unit.commands().size();
        unit.hostWrote(buffer.data(), static_cast<size_t>(n), hostBaud, t);
        for (size_t k = before; k < unit.commands().size(); k++) {
          commandLog.push_back(std::to_string(t) + " " + std::to_string(hostBaud) + " " +
                               escape(unit.commands()[k]));
        }
      } else if (n < 0 && errno == EIO) {
        hostAway = true;
      }
    } else if (r > 0 && (p.revents & POLLHUP) != 0) {
      hostAway = true;
    }
    // What the unit sends while no one has the port open is lost, as on a
    // line with nothing at the other end.
    std::string out;
    unit.takeOutput(t, hostBaud, out);
    if (hostAway) {
      outQueue.clear();
    } else {
      outQueue += out;
      while (!outQueue.empty()) {
        const ssize_t n = write(master, outQueue.data(), outQueue.size());
        if (n <= 0) {
          break;  // full (EAGAIN) or hung up: try again on the next turn
        }
        outQueue.erase(0, static_cast<size_t>(n));
      }
    }
    if (unit.vanished()) {
      // The unit is gone: the line and its link with it.
      removeLink(link, target);
      close(master);
      master = -1;
    }
    const bool complete = !unit.images().empty() && unit.images().back().complete;
    if (unit.images().size() != imagesSeen || complete != lastComplete || unit.vanished()) {
      imagesSeen = unit.images().size();
      lastComplete = complete;
      writeRecords(options.recordDir, unit, commandLog);
    }
    if (hostAway) {
      sleepMs(10);  // no one on the line: don't spin on POLLHUP
    }
  }

  removeLink(link, target);
  writeRecords(options.recordDir, unit, commandLog);
  if (held >= 0) {
    ioctl(held, TIOCNXCL);
    close(held);
  }
  if (master >= 0) {
    close(master);
  }
  return 0;
}
