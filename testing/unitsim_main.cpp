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

// The value given to an option.
struct OptionValue {
  std::string option;
  const char *text;

  long number(long min, long max) const {
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max) {
      fail("bad number for " + option + ": \"" + text + "\"");
    }
    return value;
  }
  int integer(long min, long max) const { return static_cast<int>(number(min, max)); }
  std::string unescaped() const { return unescape(text); }
};

// One option: its name, the name of its value in the usage (nullptr for a
// switch), its line of the usage (a "\n" starts another) and what it sets.
struct Option {
  const char *name;
  const char *value;
  const char *help;
  void (*apply)(Options &o, const OptionValue &v);
};

const Option kOptions[] = {
    {"--dir", "DIR", "directory of the tool; the link is DIR/dosdevices/com<N>",
     [](Options &o, const OptionValue &v) { o.dir = v.text; }},
    {"--com", "N", "port number",
     [](Options &o, const OptionValue &v) { o.com = v.integer(1, 255); }},
    {"--role", "tx|rx", "unit role (default tx)",
     [](Options &o, const OptionValue &v) {
       const std::string role = v.text;
       if (role != "tx" && role != "rx") {
         fail("--role is tx or rx");
       }
       o.rx = role == "rx";
     }},
    {"--variant", "1|2", "identification text: 1 EXTENDER, 2 PELMAROTH-B (default 1)",
     [](Options &o, const OptionValue &v) { o.variant = v.integer(1, 2); }},
    {"--product", "TEXT", "reply to \"%fw -p\" (overrides role and variant)",
     [](Options &o, const OptionValue &v) {
       o.config.productId = v.unescaped();
       o.productGiven = true;
     }},
    {"--device-code", "N", "logic-device code in the version reply (default 1)",
     [](Options &o, const OptionValue &v) { o.deviceCode = v.integer(-1000, 1000); }},
    {"--version", "TEXT", "whole reply to \"%fw -v\" (overrides --device-code)",
     [](Options &o, const OptionValue &v) {
       o.config.versionReply = v.unescaped();
       o.versionGiven = true;
     }},
    {"--version-after", "TEXT",
     "reply to \"%fw -v\" once both images are taken (default: firmware of the release, logic 2.0)",
     [](Options &o, const OptionValue &v) { o.config.updatedVersionReply = v.unescaped(); }},
    {"--silent-after-update", nullptr, "no reply to \"%fw -v\" once both images are taken",
     [](Options &o, const OptionValue &) { o.config.silentVersionAfterUpdate = true; }},
    {"--help-text", "TEXT", "reply to \"%help -c version\"",
     [](Options &o, const OptionValue &v) { o.config.helpReply = v.unescaped(); }},
    {"--baud", "N", "console rate (default 57600; 0: any rate)",
     [](Options &o, const OptionValue &v) { o.config.baudRate = v.integer(0, 4000000); }},
    {"--data-baud", "N", "rate during the image transfers (default 115200)",
     [](Options &o, const OptionValue &v) { o.config.dataBaudRate = v.integer(0, 4000000); }},
    {"--reply-delay", "MS", "delay before a reply (default 5)",
     [](Options &o, const OptionValue &v) { o.config.replyDelayMs = v.integer(0, 600000); }},
    {"--reply-gap", "MS", "gap between two reply bytes (default 0)",
     [](Options &o, const OptionValue &v) { o.config.replyByteGapMs = v.integer(0, 600000); }},
    {"--garble-help", "N", "the first N help replies lose their last byte",
     [](Options &o, const OptionValue &v) { o.config.garbledHelpReplies = v.integer(0, 1000000); }},
    {"--garble-help-head", nullptr, "garbled help replies get a wrong first byte instead",
     [](Options &o, const OptionValue &) { o.config.garbleHelpHead = true; }},
    {"--drop-help", "N", "the first N help commands get no reply",
     [](Options &o, const OptionValue &v) { o.config.droppedHelpReplies = v.integer(0, 1000000); }},
    {"--no-ready", nullptr, "never answer an image announcement",
     [](Options &o, const OptionValue &) { o.config.noReady = true; }},
    {"--ready-delay", "MS", "extra delay before \"Ready\"",
     [](Options &o, const OptionValue &v) { o.config.readyDelayMs = v.integer(0, 600000); }},
    {"--ready-text", "TEXT", "answer to an announcement instead of \"Ready\"",
     [](Options &o, const OptionValue &v) { o.config.readyText = v.unescaped(); }},
    {"--ack", "TEXT", "acknowledgement of a good image instead of \"SUCCESS\"",
     [](Options &o, const OptionValue &v) { o.config.dataAck = v.unescaped(); }},
    {"--bad-ack", "TEXT", "acknowledgement of an image with a wrong checksum",
     [](Options &o, const OptionValue &v) { o.config.badChecksumAck = v.unescaped(); }},
    {"--boot-delay", "MS", "from the firmware acknowledgement to the boot text",
     [](Options &o, const OptionValue &v) { o.config.bootDelayMs = v.integer(0, 3600000); }},
    {"--boot-text", "TEXT", "what the unit prints once rebooted (\"\": nothing)",
     [](Options &o, const OptionValue &v) { o.config.bootText = v.unescaped(); }},
    {"--flood-version", nullptr, "answer \"%fw -v\" with an endless stream",
     [](Options &o, const OptionValue &) { o.config.floodOnVersion = true; }},
    {"--flood-help", "TEXT", "answer \"%help -c version\" with TEXT repeated without end",
     [](Options &o, const OptionValue &v) {
       o.config.helpFlood = v.unescaped();
       if (o.config.helpFlood.empty()) {
         fail("--flood-help needs a text");
       }
     }},
    {"--flood-pace", "N",
     "pace of a flood in bits/s, ten a byte (default: the line rate);\n"
     "a byte at another rate than the unit's ends a flood",
     [](Options &o, const OptionValue &v) { o.config.floodPaceBaud = v.integer(1, 100000000); }},
    {"--stop-reading-after-ready", nullptr,
     "read nothing more from the line once \"Ready\" is queued",
     [](Options &o, const OptionValue &) { o.config.stopReadingAfterReady = true; }},
    {"--hang-up-after-ack", "MS",
     "drop the line (close it, remove the link) MS after\n"
     "acknowledging the microcontroller image",
     [](Options &o, const OptionValue &v) { o.config.hangUpAfterAckMs = v.integer(0, 600000); }},
    {"--refuse", nullptr, "answer every command with \"Unknown command\"",
     [](Options &o, const OptionValue &) { o.config.refuseAll = true; }},
    {"--vanish-after", "N", "disappear (close the line, remove the link) after N image bytes",
     [](Options &o, const OptionValue &v) {
       o.config.vanishAfterImageBytes = v.number(0, 0x7FFFFFFF);
     }},
    {"--hold", nullptr, "hold the port open, as another program would",
     [](Options &o, const OptionValue &) { o.hold = true; }},
    {"--absent", nullptr, "link to a device that does not exist",
     [](Options &o, const OptionValue &) { o.absent = true; }},
    {"--record", "DIR", "write the received images and commands to DIR",
     [](Options &o, const OptionValue &v) { o.recordDir = v.text; }},
};

// The usage text, from the option table: each option's help at column 23,
// or two blanks after a longer option.
std::string usage() {
  const size_t kHelpColumn = 23;
  std::string text = "usage: unitsim --dir DIR --com N [options]\n";
  for (const Option &option : kOptions) {
    std::string line = std::string("  ") + option.name;
    if (option.value != nullptr) {
      line += std::string(" ") + option.value;
    }
    line += line.size() < kHelpColumn ? std::string(kHelpColumn - line.size(), ' ') : "  ";
    for (const char *c = option.help; *c != '\0'; c++) {
      line += *c;
      if (*c == '\n') {
        line += std::string(kHelpColumn, ' ');
      }
    }
    text += line + "\n";
  }
  return text + "TEXT takes the escapes \\r \\n \\t \\\\ and \\xHH.\n";
}

const Option *findOption(const std::string &name) {
  for (const Option &option : kOptions) {
    if (name == option.name) {
      return &option;
    }
  }
  return nullptr;
}

Options parseOptions(int argc, char **argv) {
  Options o;
  for (int k = 1; k < argc; k++) {
    const std::string name = argv[k];
    if (name == "-h" || name == "--usage") {
      fputs(usage().c_str(), stdout);
      exit(0);
    }
    const Option *option = findOption(name);
    if (option == nullptr) {
      fputs(usage().c_str(), stderr);
      fail("unknown option " + name);
    }
    const char *text = nullptr;
    if (option->value != nullptr) {
      if (k + 1 >= argc) {
        fail(name + " needs a value");
      }
      text = argv[++k];
    }
    option->apply(o, OptionValue{name, text});
  }
  if (o.dir.empty() || o.com == 0) {
    fputs(usage().c_str(), stderr);
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
  if (o.config.updatedVersionReply.empty()) {
    // The unit runs the release it was given: what the after-update check
    // must see changed.
    o.config.updatedVersionReply = std::string(UNITSIM_RELEASE_VERSION "\r\nK6G-") + role +
                                   " 2.0 " + std::to_string(o.deviceCode) + "\r\n>>";
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

// The pseudo-terminal the unit plays on and the link that makes it a port.
struct Line {
  int master = -1;  // the unit's side; -1 when absent or vanished
  int held = -1;    // the slave, when held as another program would
  std::string link;
  std::string target;
};

void stopOnSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// A new pseudo-terminal whose slave is raw, and held when asked.
void openPseudoTerminal(const Options &options, Line &line) {
  line.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (line.master < 0 || grantpt(line.master) != 0 || unlockpt(line.master) != 0) {
    fail(std::string("cannot open a pseudo-terminal: ") + strerror(errno));
  }
  const char *slave = ptsname(line.master);
  if (slave == nullptr) {
    fail(std::string("ptsname: ") + strerror(errno));
  }
  line.target = slave;
  fcntl(line.master, F_SETFL, fcntl(line.master, F_GETFL) | O_NONBLOCK);
  fcntl(line.master, F_SETFD, FD_CLOEXEC);
  // Open the slave once to make it raw (no echo, no translation until the
  // tool sets its own line) and so that from now on the master reports
  // POLLHUP whenever no one holds the slave.
  const int s = open(slave, O_RDWR | O_NOCTTY);
  if (s < 0) {
    fail("cannot open " + line.target + ": " + strerror(errno));
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
      fail("cannot lock " + line.target + ": " + strerror(errno));
    }
    line.held = s;
  } else {
    close(s);
  }
}

// The line, linked as DIR/dosdevices/com<N>, and announced on stdout.
Line openLine(const Options &options) {
  const std::string devDir = options.dir + "/dosdevices";
  if (mkdir(devDir.c_str(), 0755) != 0 && errno != EEXIST) {
    fail("cannot create " + devDir + ": " + strerror(errno));
  }
  Line line;
  line.link = devDir + "/com" + std::to_string(options.com);
  if (options.absent) {
    line.target = devDir + "/.absent-com" + std::to_string(options.com);
  } else {
    openPseudoTerminal(options, line);
  }
  // Another simulator's port, or one left behind, is not taken over.
  struct stat existing;
  if (lstat(line.link.c_str(), &existing) == 0) {
    fail(line.link + " exists already");
  }
  if (symlink(line.target.c_str(), line.link.c_str()) != 0) {
    fail("cannot link " + line.link + ": " + strerror(errno));
  }
  printf("unitsim: com%d -> %s%s\n", options.com, line.target.c_str(),
         options.absent ? " (absent)" : (options.hold ? " (held)" : ""));
  fflush(stdout);
  return line;
}

// The unit on its line, on the real clock, until a signal stops it.
class Session {
 public:
  Session(const Options &options, Line &line)
      : options_(options), line_(line), unit_(options.config), start_(posixMonotonicMs()) {}

  void serve() {
    while (!gStop) {
      if (line_.master < 0) {
        sleepMs(50);  // absent or vanished: nothing to play
        continue;
      }
      turn();
    }
    removeLink(line_.link, line_.target);
    writeRecords(options_.recordDir, unit_, commandLog_);
  }

 private:
  // One wait for the host or the unit's next byte, and what follows from it.
  void turn() {
    // A unit that has stopped reading leaves the host's bytes in the line,
    // which fills up and holds the host's writes.
    const short events =
        static_cast<short>((unit_.listening() ? POLLIN : 0) | (outQueue_.empty() ? 0 : POLLOUT));
    struct pollfd p = {line_.master, events, 0};
    const int r = poll(&p, 1, pollTimeout());
    if (r < 0 && errno != EINTR) {
      fail(std::string("poll: ") + strerror(errno));
    }
    const uint64_t t = posixMonotonicMs() - start_;
    const int hostBaud = hostBaudOf(line_.master);
    bool hostAway = false;
    if (r > 0 && (p.revents & POLLIN) != 0) {
      hostAway = !takeFromHost(t, hostBaud);
    } else if (r > 0 && (p.revents & POLLHUP) != 0) {
      hostAway = true;
    }
    sendToHost(t, hostBaud, hostAway);
    if (unit_.vanished()) {
      // The unit is gone: the line and its link with it.
      removeLink(line_.link, line_.target);
      close(line_.master);
      line_.master = -1;
    }
    recordOnChange();
    if (hostAway) {
      sleepMs(10);  // no one on the line: don't spin on POLLHUP
    }
  }

  // Until the unit's next byte is due, at most 50 ms.
  int pollTimeout() const {
    const uint64_t now = posixMonotonicMs() - start_;
    const uint64_t next = unit_.nextOutputTime();
    if (next == UINT64_MAX) {
      return 50;
    }
    return next <= now ? 0 : static_cast<int>(next - now < 50 ? next - now : 50);
  }

  // What the host wrote, to the unit; false when the host has hung up.
  bool takeFromHost(uint64_t t, int hostBaud) {
    const ssize_t n = read(line_.master, buffer_.data(), buffer_.size());
    if (n > 0) {
      const size_t before = unit_.commands().size();
      unit_.hostWrote(buffer_.data(), static_cast<size_t>(n), hostBaud, t);
      for (size_t k = before; k < unit_.commands().size(); k++) {
        commandLog_.push_back(std::to_string(t) + " " + std::to_string(hostBaud) + " " +
                              escape(unit_.commands()[k]));
      }
    }
    return !(n < 0 && errno == EIO);
  }

  // What the unit has sent by now, to the host as far as the line takes it.
  // What it sends while no one has the port open is lost, as on a line with
  // nothing at the other end.
  void sendToHost(uint64_t t, int hostBaud, bool hostAway) {
    std::string out;
    unit_.takeOutput(t, hostBaud, out);
    if (hostAway) {
      outQueue_.clear();
      return;
    }
    outQueue_ += out;
    while (!outQueue_.empty()) {
      const ssize_t n = write(line_.master, outQueue_.data(), outQueue_.size());
      if (n <= 0) {
        break;  // full (EAGAIN) or hung up: try again on the next turn
      }
      outQueue_.erase(0, static_cast<size_t>(n));
    }
  }

  // The records, whenever an image begins or ends or the unit goes.
  void recordOnChange() {
    const bool complete = !unit_.images().empty() && unit_.images().back().complete;
    if (unit_.images().size() != imagesSeen_ || complete != lastComplete_ || unit_.vanished()) {
      imagesSeen_ = unit_.images().size();
      lastComplete_ = complete;
      writeRecords(options_.recordDir, unit_, commandLog_);
    }
  }

  const Options &options_;
  Line &line_;
  UnitModel unit_;
  const uint64_t start_;
  std::vector<std::string> commandLog_;
  std::string outQueue_;  // bytes for the host not yet taken by the pty
  size_t imagesSeen_ = 0;
  bool lastComplete_ = false;
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(65536);
};

void closeLine(Line &line) {
  if (line.held >= 0) {
    ioctl(line.held, TIOCNXCL);
    close(line.held);
  }
  if (line.master >= 0) {
    close(line.master);
  }
}

}  // namespace

int main(int argc, char **argv) {
  const Options options = parseOptions(argc, argv);
  stopOnSignals();
  Line line = openLine(options);
  Session(options, line).serve();
  closeLine(line);
  return 0;
}
