// Output file access: the two states of the one stream, what each open does
// to an existing file, text written as data, and writes or closes that the
// runtime does not carry out in full.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileAPI.h"
#include "PlatformSim.h"
#include "WebTestSupport.h"

namespace {

const std::string NO_FILE = "ERROR: File does not exists\n";
const std::string NOT_OPENED = "ERROR: File does not exists or Not opened !\n";

class FileApiTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    Sim_Reset();
  }
  void TearDown() override {
    if (fptr != nullptr) {
      fclose(fptr);
      fptr = nullptr;
    }
    TempDirTest::TearDown();
  }
};

TEST_F(FileApiTest, CreateEmptiesAppendKeeps) {
  writeWholeFile("f.bin", "old contents");
  ASSERT_EQ(FileAPI_CreateFile("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("f.bin"), "");

  ASSERT_EQ(FileAPI_OpenFile_ToWrite("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("abc", 3), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  ASSERT_EQ(FileAPI_OpenFile_ToWrite("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("de", 2), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("f.bin"), "abcde");

  ASSERT_EQ(FileAPI_CreateFile("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("f.bin"), "");

  ASSERT_EQ(FileAPI_OpenFile_ToWrite("new.bin", 1), 1);  // created when missing
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_TRUE(std::filesystem::exists("new.bin"));
  EXPECT_EQ(Sim_ConsoleText(), "");
}

// Only 1 selects binary mode. On Windows the text mode turns "\n" into
// "\r\n"; elsewhere the runtime's text mode is the identity.
TEST_F(FileApiTest, OnlyOneSelectsBinaryMode) {
#ifdef _WIN32
  const std::string textModeResult = "a\r\nb";
#else
  const std::string textModeResult = "a\nb";
#endif
  const struct {
    BOOL isBinary;
    std::string expected;
  } cases[] = {{1, "a\nb"}, {0, textModeResult}, {2, textModeResult}, {-1, textModeResult}};
  for (const auto &c : cases) {
    SCOPED_TRACE("isBinary " + std::to_string(c.isBinary));
    ASSERT_EQ(FileAPI_CreateFile("m.txt", c.isBinary), 1);
    ASSERT_EQ(FileAPI_writeToFileBinary("a\nb", 3), 1);
    ASSERT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(readWholeFile("m.txt"), c.expected);
    ASSERT_EQ(FileAPI_OpenFile_ToRead("m.txt", c.isBinary), 1);
    ASSERT_EQ(FileAPI_CloseFile(), 1);
  }
}

TEST_F(FileApiTest, BinaryWritesGoOutUnchanged) {
  ASSERT_EQ(FileAPI_CreateFile("b.bin", 1), 1);
  EXPECT_EQ(FileAPI_writeToFileBinary("\r\n", 2), 1);
  EXPECT_EQ(FileAPI_writeToFileBinary("x\0y", 3), 1);
  EXPECT_EQ(FileAPI_writeToFileBinary("ignored", 0), 1);
  EXPECT_EQ(FileAPI_writeToFileBinary(nullptr, 0), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("b.bin"), std::string("\x0D\x0Ax\0y", 5));
}

// Every open that fails leaves no stream, so what follows is refused.
TEST_F(FileApiTest, FailedOpensLeaveNoStream) {
  std::filesystem::create_directory("adir");
  const struct {
    const char *name;
    BOOL (*open)(const char *, BOOL);
    const char *fileName;
  } cases[] = {
      {"read missing", FileAPI_OpenFile_ToRead, "missing.bin"},
      {"create in missing dir", FileAPI_CreateFile, "nodir/f.bin"},
      {"append to a directory", FileAPI_OpenFile_ToWrite, "adir"},
      {"create a directory", FileAPI_CreateFile, "adir"},
      {"null name", FileAPI_CreateFile, nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sim_ClearConsole();
    EXPECT_EQ(c.open(c.fileName, 1), 0);
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(FileAPI_writeToFileBinary("x", 1), 0);
    EXPECT_EQ(FileAPI_writeToFile("x"), 0);
    EXPECT_EQ(FileAPI_CloseFile(), 0);
    EXPECT_EQ(Sim_ConsoleText(), NO_FILE + NOT_OPENED + NOT_OPENED + NOT_OPENED);
  }
  EXPECT_FALSE(std::filesystem::exists("missing.bin"));
}

TEST_F(FileApiTest, SecondCloseIsRefused) {
  ASSERT_EQ(FileAPI_CreateFile("c.bin", 1), 1);
  EXPECT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(Sim_ConsoleText(), "");
  EXPECT_EQ(FileAPI_CloseFile(), 0);
  EXPECT_EQ(Sim_ConsoleText(), NOT_OPENED);
}

// An open while a stream is open closes the first one, whose data is kept.
TEST_F(FileApiTest, OpenWhileOpenClosesTheFirstStream) {
  ASSERT_EQ(FileAPI_CreateFile("first.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("kept", 4), 1);
  ASSERT_EQ(FileAPI_CreateFile("second.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("2", 1), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("first.bin"), "kept");
  EXPECT_EQ(readWholeFile("second.bin"), "2");
}

// The text is data: a conversion directive is never interpreted (it would
// read or, for %n, write through arguments that are not there).
TEST_F(FileApiTest, TextIsWrittenAsDataWithOnlyDoublePercentFolded) {
  const struct {
    const char *text;
    const char *expected;
  } cases[] = {
      {"", ""},
      {"plain\r\n", "plain\r\n"},
      {"100%% sure", "100% sure"},
      {"%d %s %n %x", "%d %s %n %x"},
      {"%", "%"},
      {"50%", "50%"},
      {"%%%", "%%"},
      {"a%%%%b", "a%%b"},
      {"%%%%%%", "%%%"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_EQ(FileAPI_CreateFile("t.txt", 1), 1);
    EXPECT_EQ(FileAPI_writeToFile(c.text), 1);
    ASSERT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(readWholeFile("t.txt"), c.expected);
  }
}

// /dev/full takes nothing: a write larger than the stream's buffer fails at
// once, a small one fails when the close flushes it.
class FileApiFullDevice : public FileApiTest {
 protected:
  void SetUp() override {
    FileApiTest::SetUp();
    if (!std::filesystem::exists("/dev/full")) {
      GTEST_SKIP() << "no /dev/full on this system";
    }
  }
};

TEST_F(FileApiFullDevice, WriteTakenInPartFails) {
  const std::vector<char> block(1 << 20, 'x');
  ASSERT_EQ(FileAPI_OpenFile_ToWrite("/dev/full", 1), 1);
  EXPECT_EQ(FileAPI_writeToFileBinary(block.data(), static_cast<uint32_t>(block.size())), 0);
  const std::string text(1 << 20, 'y');
  EXPECT_EQ(FileAPI_writeToFile(text.c_str()), 0);
  FileAPI_CloseFile();
  EXPECT_EQ(fptr, nullptr);
}

TEST_F(FileApiFullDevice, FailedCloseFailsAndLeavesNoStream) {
  ASSERT_EQ(FileAPI_CreateFile("/dev/full", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("buffered", 8), 1);
  EXPECT_EQ(FileAPI_CloseFile(), 0);
  EXPECT_EQ(fptr, nullptr);
  EXPECT_EQ(Sim_ConsoleText(), "");
  EXPECT_EQ(FileAPI_CloseFile(), 0);
  EXPECT_EQ(Sim_ConsoleText(), NOT_OPENED);
}

}  // namespace
