// The web upload package "FwToUpload.bin": its layout checked field by field
// and its body decoded by the system's base64 tool, for the embedded
// microcontroller image and for images made to hit the line and buffer
// boundaries; and the writer's failure paths.
#include <gtest/gtest.h>
#include <stdio.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include "FileAPI.h"
#include "TestSupport.h"

namespace {

const char *const PACKAGE = "FwToUpload.bin";
const std::string FIXED_HEADER = "KorVex\r\n613284\r\n" CATALOGUE_VERSION "\r\n";
const std::string PROMPT = "\r\nPress any key to exit";
const size_t LINE = 928;

// A data record line of an image text, with its line end.
std::string dataLine(unsigned address, const std::string &data) {
  return dataRecord(static_cast<int>(address), std::vector<uint8_t>(data.begin(), data.end())) +
         "\r\n";
}

// An extended linear address record; the image window is its low byte.
std::string upperAddressRecord(unsigned upper) {
  return elaRecord(static_cast<int>(upper)) + "\r\n";
}

const std::string END_RECORD = ":00000001FF\r\n";

// The text of an image placed from offset 0 in records of 16 bytes.
std::string hexTextOf(const std::string &image) {
  std::string text;
  for (size_t offset = 0; offset < image.size(); offset += 16) {
    if (offset % 0x10000 == 0) {
      text += upperAddressRecord(static_cast<unsigned>(offset >> 16));
    }
    text += dataLine(offset & 0xFFFF, image.substr(offset, 16));
  }
  return text + END_RECORD;
}

std::string patternImage(size_t length) {
  std::string image(length, '\0');
  for (size_t k = 0; k < length; ++k) {
    image[k] = static_cast<char>((k * 7 + k / 256) & 0xFF);
  }
  return image;
}

// An image of the given length that is 0xFF filler but for its last byte,
// from a text of two records.
std::string sparseHexText(uint32_t length, std::string *image) {
  const uint32_t last = length - 1;
  *image = std::string(last, '\xFF') + "\x5A";
  return upperAddressRecord(last >> 16) + dataLine(last & 0xFFFF, "\x5A") + END_RECORD;
}

std::string headerOf(const std::string &image) {
  return FIXED_HEADER + std::to_string(checkSumOf(image)) + "\r\n" + std::to_string(image.size()) +
         "\r\n";
}

// Checks a whole package against the image it should carry: header lines,
// body lines of 928 characters joined by CR LF without a final break, pads
// written as "A", and a body that the system's tool decodes to the image.
void expectPackageOf(const std::string &package, const std::string &image) {
  const std::string header = headerOf(image);
  ASSERT_EQ(package.substr(0, header.size()), header);
  const std::string body = package.substr(header.size());
  std::string text, relaid;
  for (size_t k = 0; k < body.size(); k += LINE + 2) text += body.substr(k, LINE);
  for (size_t k = 0; k < text.size(); k += LINE) {
    relaid += (k == 0 ? "" : "\r\n") + text.substr(k, LINE);
  }
  ASSERT_TRUE(body == relaid) << "the body is not in lines of 928 characters joined by CR LF";
  ASSERT_EQ(text.size(), 4 * ((image.size() + 2) / 3));
  ASSERT_EQ(
      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
      std::string::npos);

  // The length line tells how many of the final "A"s stand for pads.
  const size_t pads = (3 - image.size() % 3) % 3;
  ASSERT_EQ(text.substr(text.size() - pads), std::string(pads, 'A'));
  text.replace(text.size() - pads, pads, std::string(pads, '='));
  std::string decoded;
  ASSERT_TRUE(coreutilsDecode(text, &decoded));
  EXPECT_TRUE(decoded == image) << "decoded body differs from the image";
}

// What the writer shows of an image it converted, before the file is written.
std::string shownBeforeWriting(const std::string &image) {
  const std::string sum = std::to_string(checkSumOf(image));
  return "\r\n Firmware data is valid !\r\n\r\n Firmware CheckSum = " + sum +
         " !\r\n\r\n Firmware CheckSum u = " + sum +
         " !\r\n\r\n Firmware data length = " + std::to_string(image.size()) + " !\r\n";
}

class WebPackageTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    allocateBuffers();
  }
  // Runs the writer on a writable copy of text.
  static BOOL writeFromText(const std::string &text) {
    return createFirmwareFileForWebFromText(writableText(text).data());
  }
  // The writer failed but still ended with the exit prompt and its key.
  void expectFailureShownToTheEnd() {
    ASSERT_GE(console().size(), PROMPT.size());
    EXPECT_EQ(console().substr(console().size() - PROMPT.size()), PROMPT);
    EXPECT_EQ(Sim_GetchCount(), 1);
    EXPECT_EQ(fptr, nullptr);
  }
};

TEST_F(WebPackageTest, EmbeddedImagePackage) {
  ASSERT_EQ(createFirmwareFileForWeb(), 1);
  const std::string image = convertedImage();
  ASSERT_GT(image.size(), 0u);
  EXPECT_EQ(gDataConcatenatedCheckSum, checkSumOf(image));
  expectPackageOf(readWholeFile(PACKAGE), image);

  EXPECT_EQ(console(), shownBeforeWriting(image) + PROMPT);
  EXPECT_EQ(Sim_GetchCount(), 1);
  EXPECT_EQ(fptr, nullptr);
  // The writer converted a copy: the start-up text is still whole. Used up
  // by a conversion, it does not matter, and a second call replaces the
  // package instead of appending to it.
  EXPECT_EQ(std::string(gHexFirmware), catalogueText(kCatalogueMicrocontroller));
  const std::string first = readWholeFile(PACKAGE);
  ASSERT_EQ(ValidateFwAndConcatenateData(gHexFirmware), 1);
  ASSERT_EQ(createFirmwareFileForWeb(), 1);
  EXPECT_TRUE(readWholeFile(PACKAGE) == first);
}

// Lengths at the remainders of 3 and at the 928-character line boundary
// (696 image bytes make one full line).
TEST_F(WebPackageTest, LayoutAtPadAndLineBoundaries) {
  for (const size_t length : {1u, 2u, 3u, 695u, 696u, 697u, 1392u, 1393u, 70000u}) {
    SCOPED_TRACE("image length " + std::to_string(length));
    const std::string image = patternImage(length);
    ASSERT_EQ(writeFromText(hexTextOf(image)), 1);
    expectPackageOf(readWholeFile(PACKAGE), image);
  }
}

// The body text must fit 614,400 bytes with its NUL: 460,797 image bytes are
// the most. One more is an encoder failure: result 0, and the package made
// before is left as it was.
TEST_F(WebPackageTest, EncodedTextBufferBoundary) {
  std::string image;
  ASSERT_EQ(writeFromText(sparseHexText(460797, &image)), 1);
  expectPackageOf(readWholeFile(PACKAGE), image);
  EXPECT_EQ(console().find("ERROR BASE 64"), std::string::npos);
  const std::string earlier = readWholeFile(PACKAGE);
  const std::set<std::string> before = entries();

  Sim_Reset();
  ASSERT_EQ(writeFromText(sparseHexText(460798, &image)), 0);
  EXPECT_TRUE(readWholeFile(PACKAGE) == earlier);
  EXPECT_EQ(entries(), before);
  EXPECT_NE(console().find("\r\n ERROR BASE 64 !\r\n" + PROMPT), std::string::npos) << console();
  expectFailureShownToTheEnd();
}

// A text with no data record gives nothing to encode: no package, result 0.
TEST_F(WebPackageTest, EmptyImageWritesNoPackage) {
  ASSERT_EQ(writeFromText(upperAddressRecord(0x8000) + END_RECORD), 0);
  EXPECT_TRUE(entries().empty());
  EXPECT_NE(console().find("empty"), std::string::npos) << console();
  expectFailureShownToTheEnd();
}

TEST_F(WebPackageTest, InvalidTextLeavesEarlierPackageUntouched) {
  ASSERT_EQ(writeFromText(hexTextOf(patternImage(100))), 1);
  const std::string earlier = readWholeFile(PACKAGE);
  std::string badSum = dataLine(0, "abcdefgh");
  badSum[badSum.size() - 3] ^= 1;
  const struct {
    const char *name;
    std::string text;
  } cases[] = {
      {"wrong checksum", dataLine(0, "12345678") + badSum + END_RECORD},
      {"empty text", ""},
      {"start codes only", ":::"},
      {"offset beyond the image area", upperAddressRecord(0x40) + dataLine(0, "x")},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sim_Reset();
    EXPECT_EQ(writeFromText(c.text), 0);
    EXPECT_TRUE(readWholeFile(PACKAGE) == earlier);
    const std::string verdict = "\r\nERROR: Firmware data is not valid !\r\n";
    ASSERT_GE(console().size(), verdict.size());
    EXPECT_EQ(console().substr(console().size() - verdict.size()), verdict);
    EXPECT_EQ(Sim_GetchCount(), 0);
    EXPECT_EQ(fptr, nullptr);
  }
}

// A package that cannot be written whole: one line says why, the exit
// prompt and the key come, and the result says it failed.
TEST_F(WebPackageTest, UnwritablePackageFails) {
  std::filesystem::create_directory(PACKAGE);
  ASSERT_EQ(createFirmwareFileForWeb(), 0);
  EXPECT_EQ(console(), shownBeforeWriting(convertedImage()) +
                           "\r\nERROR: FwToUpload.bin not written: Not a regular file !\r\n" +
                           PROMPT);
  EXPECT_TRUE(std::filesystem::is_directory(PACKAGE));
  expectFailureShownToTheEnd();
}

// What stands under the package's name when it is written. A link is
// replaced and what it leads to is left alone; a package kept private stays
// so; otherwise a package that cannot be written whole (a full disk, a file
// size limit, a read-only folder, a pipe of that name) fails with its reason,
// in one line, and leaves the earlier package as it was, with no new file
// beside it. Full and read-only folders are small
// file systems mounted for the case, and skipped where mounting is not
// allowed; without root a folder's permissions make it read-only.
TEST_F(WebPackageTest, PackageNeverHarmsWhatStandsUnderItsName) {
  const std::string earlier = "earlier package";
  const std::string outside = (dir_ / "outside").string();
  auto mountSmall = [](const char *options) {
    std::filesystem::create_directory("mnt");
    return std::system(
               ("mount -t tmpfs -o " + std::string(options) + " tmpfs mnt 2>/dev/null").c_str()) ==
           0;
  };
  const struct {
    const char *name;
    std::function<bool()> prepare;  // in the case's folder; false: cannot be made here
    std::string reason;             // empty: the package is written
    mode_t mode = 0;                // of the package written; 0: not looked at
  } cases[] = {
      {"private package",
       [&] {
         writeWholeFile(PACKAGE, earlier);
         return chmod(PACKAGE, 0600) == 0;
       },
       "", 0600},
      {"link to a file elsewhere",
       [&] {
         writeWholeFile(outside, earlier);
         std::filesystem::create_symlink(outside, PACKAGE);
         return true;
       },
       ""},
      {"link to nothing",
       [&] {
         std::filesystem::create_symlink("nowhere/x", PACKAGE);
         return true;
       },
       ""},
      {"file size limit",
       [&] {
         writeWholeFile(PACKAGE, earlier);
         return true;
       },
       "File too large"},
      {"full disk",
       [&] {
         if (!mountSmall("size=64k")) return false;
         writeWholeFile(std::string("mnt/") + PACKAGE, earlier);
         std::filesystem::current_path("mnt");
         return true;
       },
       "No space left on device"},
      {"read-only folder",
       [&] {
         if (geteuid() != 0) {
           std::filesystem::create_directory("mnt");
           writeWholeFile(std::string("mnt/") + PACKAGE, earlier);
           chmod("mnt", 0555);
         } else if (!mountSmall("size=1m")) {
           return false;
         } else {
           writeWholeFile(std::string("mnt/") + PACKAGE, earlier);
           if (std::system("mount -o remount,ro mnt") != 0) return false;
         }
         std::filesystem::current_path("mnt");
         return true;
       },
       geteuid() != 0 ? "Permission denied" : "Read-only file system"},
      {"pipe", [&] { return mkfifo(PACKAGE, 0600) == 0; }, "Not a regular file"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sim_Reset();
    std::filesystem::current_path(dir_);
    std::filesystem::create_directory("case");
    std::filesystem::current_path("case");
    const std::filesystem::path caseDir = std::filesystem::current_path();
    if (c.prepare()) {
      const std::set<std::string> before = entries();
      BOOL result;
      {
        FileSizeLimit limit(strcmp(c.name, "file size limit") == 0 ? 2000 : RLIM_INFINITY);
        result = createFirmwareFileForWeb();
      }
      EXPECT_EQ(entries(), before.empty() ? std::set<std::string>{PACKAGE} : before);
      if (c.reason.empty()) {
        EXPECT_EQ(result, 1);
        EXPECT_FALSE(std::filesystem::is_symlink(PACKAGE));
        expectPackageOf(readWholeFile(PACKAGE), convertedImage());
        struct stat st;
        if (c.mode != 0) {
          ASSERT_EQ(stat(PACKAGE, &st), 0);
          EXPECT_EQ(st.st_mode & 07777, c.mode);
        }
      } else {
        EXPECT_EQ(result, 0);
        const std::string line = "\r\nERROR: FwToUpload.bin not written: " + c.reason + " !\r\n";
        EXPECT_EQ(console(), shownBeforeWriting(convertedImage()) + line + PROMPT);
        EXPECT_TRUE(std::filesystem::is_fifo(PACKAGE) || readWholeFile(PACKAGE) == earlier);
      }
      if (std::filesystem::exists(outside)) {
        EXPECT_EQ(readWholeFile(outside), earlier);
        std::filesystem::remove(outside);
      }
      expectFailureShownToTheEnd();
    } else {
      printf("note: case \"%s\" skipped: its folder cannot be made here (mount needs root)\n",
             c.name);
    }
    std::filesystem::current_path(dir_);
    if (std::filesystem::exists(caseDir / "mnt")) {
      chmod((caseDir / "mnt").c_str(), 0755);
      (void)std::system(("umount '" + (caseDir / "mnt").string() + "' 2>/dev/null").c_str());
    }
    std::filesystem::remove_all("case");
  }
}

// The packaging program: exit 0 and the same package as the writer makes in
// process; non-zero when the package cannot be written.
TEST_F(WebPackageTest, PackagingProgram) {
  ASSERT_EQ(createFirmwareFileForWeb(), 1);
  const std::string expected = readWholeFile(PACKAGE);
  std::filesystem::remove(PACKAGE);
  const std::string run =
      std::string("'") + WRITE_WEB_UPLOAD_PACKAGE + "' < /dev/null > out.txt 2> err.txt";
  // A build from stand-in images says so on standard error, and only there.
  const std::string warning = standInWarningLine();

  int status = std::system(run.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(readWholeFile(PACKAGE) == expected);
  EXPECT_NE(readWholeFile("out.txt").find(PROMPT), std::string::npos);
  EXPECT_EQ(readWholeFile("out.txt").find("WARNING"), std::string::npos);
  EXPECT_EQ(readWholeFile("err.txt"), warning);

  std::filesystem::remove(PACKAGE);
  std::filesystem::create_directory(PACKAGE);
  status = std::system(run.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(readWholeFile("out.txt").find("\r\nERROR: FwToUpload.bin not written: "),
            std::string::npos);
}

// An interrupt while the package is written, here as its new file is forced
// to the disk (strace sends SIGINT then, the step before the file takes its
// name): no new file is left behind, the earlier package stays as it was,
// and standard error speaks of the package.
TEST_F(WebPackageTest, AnInterruptWhileThePackageIsWrittenLeavesNoFileBehind) {
  if (std::system("command -v strace > /dev/null") != 0) {
    GTEST_SKIP() << "strace is not installed";
  }
  writeWholeFile(PACKAGE, "earlier package");
  const std::string run = std::string("strace -qq -o /dev/null -e trace=fsync ") +
                          "-e inject=fsync:signal=INT '" + WRITE_WEB_UPLOAD_PACKAGE +
                          "' < /dev/null > out.txt 2> err.txt";
  const int status = std::system(run.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT);
  EXPECT_EQ(readWholeFile(PACKAGE), "earlier package");
  std::set<std::string> left;
  for (const auto &entry : std::filesystem::directory_iterator(".")) {
    left.insert(entry.path().filename().string());
  }
  EXPECT_EQ(left, (std::set<std::string>{PACKAGE, "out.txt", "err.txt"}));
  EXPECT_EQ(readWholeFile("err.txt"),
            standInWarningLine() + "\nInterrupted by SIGINT; the package was not written.\n");
}

}  // namespace
