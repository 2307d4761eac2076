// Output file access: the two states of the one stream, what each open does
// to an existing file, text written as data, and writes or closes that the
// runtime does not carry out in full.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "FileAPI.h"
#include "TestSupport.h"

namespace {

const std::string NO_FILE = "ERROR: File does not exists\n";
const std::string NOT_OPENED = "ERROR: File does not exists or Not opened !\n";

class FileApiTest : public TempDirTest {
 protected:
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

  // Binary writes go out unchanged; an empty one writes nothing.
  ASSERT_EQ(FileAPI_OpenFile_ToWrite("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("a\r\n", 3), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary(nullptr, 0), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  ASSERT_EQ(FileAPI_OpenFile_ToWrite("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("x\0y", 3), 1);
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("f.bin"), std::string("a\r\nx\0y", 6));

  // An open while a stream is open closes the first one, whose data is kept.
  ASSERT_EQ(FileAPI_CreateFile("f.bin", 1), 1);
  ASSERT_EQ(FileAPI_writeToFileBinary("kept", 4), 1);
  ASSERT_EQ(FileAPI_OpenFile_ToWrite("new.bin", 1), 1);  // created when missing
  ASSERT_EQ(FileAPI_CloseFile(), 1);
  EXPECT_EQ(readWholeFile("f.bin"), "kept");
  EXPECT_TRUE(std::filesystem::exists("new.bin"));
  EXPECT_EQ(console(), "");
  // The stream is gone: a second close is refused.
  EXPECT_EQ(FileAPI_CloseFile(), 0);
  EXPECT_EQ(console(), NOT_OPENED);
}

// Only 1 selects binary mode. On Windows the text mode turns "\n" into
// "\r\n"; elsewhere the runtime's text mode is the identity.
TEST_F(FileApiTest, OnlyOneSelectsBinaryMode) {
#ifdef _WIN32
  const std::string textModeResult = "a\r\nb";
#else
  const std::string textModeResult = "a\nb";
#endif
  for (const BOOL isBinary : {1, 0, 2, -1}) {
    SCOPED_TRACE("isBinary " + std::to_string(isBinary));
    ASSERT_EQ(FileAPI_CreateFile("m.txt", isBinary), 1);
    ASSERT_EQ(FileAPI_writeToFileBinary("a\nb", 3), 1);
    ASSERT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_EQ(readWholeFile("m.txt"), isBinary == 1 ? "a\nb" : textModeResult);
    ASSERT_EQ(FileAPI_OpenFile_ToRead("m.txt", isBinary), 1);
    ASSERT_EQ(FileAPI_CloseFile(), 1);
  }
}

BOOL replaceFile(const char *fileName, BOOL) { return FileAPI_ReplaceFile(fileName); }

// Every open that fails leaves no stream, so what follows is refused. A
// write open that fails says why (a replacement only why); a pipe is never
// opened (it would wait for a reader for ever).
TEST_F(FileApiTest, FailedOpensLeaveNoStream) {
  std::filesystem::create_directory("adir");
  ASSERT_EQ(mkfifo("pipe", 0600), 0);
  const std::string notRegular = " not written: Not a regular file !\r\n";
  const std::string noDir = "\r\nERROR: nodir/f.bin not written: No such file or directory !\r\n";
  const struct {
    const char *name;
    BOOL (*open)(const char *, BOOL);
    const char *fileName;
    std::string shown;
  } cases[] = {
      {"read missing", FileAPI_OpenFile_ToRead, "missing.bin", NO_FILE},
      {"create in missing dir", FileAPI_CreateFile, "nodir/f.bin", NO_FILE + noDir},
      {"append to a directory", FileAPI_OpenFile_ToWrite, "adir",
       NO_FILE + "\r\nERROR: adir" + notRegular},
      {"create a directory", FileAPI_CreateFile, "adir", NO_FILE + "\r\nERROR: adir" + notRegular},
      {"create over a pipe", FileAPI_CreateFile, "pipe", NO_FILE + "\r\nERROR: pipe" + notRegular},
      {"append to a pipe", FileAPI_OpenFile_ToWrite, "pipe",
       NO_FILE + "\r\nERROR: pipe" + notRegular},
      {"null name", FileAPI_CreateFile, nullptr, NO_FILE},
      {"replace in missing dir", replaceFile, "nodir/f.bin", noDir},
      {"replace a directory", replaceFile, "adir", "\r\nERROR: adir" + notRegular},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sim_ClearConsole();
    EXPECT_EQ(c.open(c.fileName, 1), 0);
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(FileAPI_writeToFileBinary("x", 1), 0);
    EXPECT_EQ(FileAPI_writeToFile("x"), 0);
    EXPECT_EQ(FileAPI_CloseFile(), 0);
    EXPECT_EQ(console(), c.shown + NOT_OPENED + NOT_OPENED + NOT_OPENED);
  }
  EXPECT_FALSE(std::filesystem::exists("missing.bin"));
  EXPECT_TRUE(std::filesystem::is_fifo("pipe"));
  EXPECT_EQ(entries(), (std::set<std::string>{"adir", "pipe"}));
}

// A written file takes its name only at the close: a link of that name is
// replaced, never written through, and appending copies what it leads to.
TEST_F(FileApiTest, LinkOfTheNameIsReplacedNotFollowed) {
  writeWholeFile("target", "target text");
  for (const BOOL append : {0, 1}) {
    SCOPED_TRACE(append ? "append" : "create");
    std::filesystem::remove("f.bin");
    std::filesystem::create_symlink("target", "f.bin");
    ASSERT_EQ(append ? FileAPI_OpenFile_ToWrite("f.bin", 1) : FileAPI_CreateFile("f.bin", 1), 1);
    ASSERT_EQ(FileAPI_writeToFileBinary("new", 3), 1);
    // Nothing is seen under the name before the close.
    EXPECT_TRUE(std::filesystem::is_symlink("f.bin"));
    ASSERT_EQ(FileAPI_CloseFile(), 1);
    EXPECT_FALSE(std::filesystem::is_symlink("f.bin"));
    EXPECT_EQ(readWholeFile("f.bin"), append ? "target textnew" : "new");
    EXPECT_EQ(readWholeFile("target"), "target text");
    EXPECT_EQ(entries(), (std::set<std::string>{"f.bin", "target"}));
  }
}

// A file that is replaced keeps its permission bits, however it is written;
// a new file, and one in place of a link, gets 0666 less the umask.
TEST_F(FileApiTest, AReplacedFileKeepsItsPermissions) {
  const struct {
    const char *name;
    BOOL (*open)(const char *, BOOL);
    int existing;  // the mode of the file there; -1 none, -2 a link to a 0600 file
    mode_t umask;
    mode_t expected;
  } cases[] = {
      {"new file, umask 022", FileAPI_CreateFile, -1, 022, 0644},
      {"new file, umask 077", replaceFile, -1, 077, 0600},
      {"0600 file created anew", FileAPI_CreateFile, 0600, 022, 0600},
      {"0640 file appended to", FileAPI_OpenFile_ToWrite, 0640, 077, 0640},
      {"0755 file replaced under umask 077", replaceFile, 0755, 077, 0755},
      {"0444 file replaced", replaceFile, 0444, 022, 0444},
      {"link to a 0600 file", FileAPI_CreateFile, -2, 022, 0644},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove("f.bin");
    if (c.existing == -2) {
      writeWholeFile("target", "");
      ASSERT_EQ(chmod("target", 0600), 0);
      std::filesystem::create_symlink("target", "f.bin");
    } else if (c.existing >= 0) {
      writeWholeFile("f.bin", "old");
      ASSERT_EQ(chmod("f.bin", static_cast<mode_t>(c.existing)), 0);
    }
    const mode_t saved = umask(c.umask);
    const BOOL opened = c.open("f.bin", 1);
    const BOOL written = FileAPI_writeToFileBinary("new", 3);
    const BOOL closed = FileAPI_CloseFile();
    umask(saved);
    ASSERT_EQ(opened && written && closed, 1);
    struct stat st;
    ASSERT_EQ(lstat("f.bin", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, c.expected);
  }
  EXPECT_EQ(console(), "");
}

// Writes and closes that the file system does not take in full (here a file
// size limit) fail, say why at the close, and leave the earlier file as it
// was and nothing else behind; a small write fails only when the close
// flushes it.
TEST_F(FileApiTest, WriteTheFileCannotTakeLeavesTheEarlierFile) {
  const std::string block(1 << 20, 'x');
  const struct {
    const char *name;
    size_t length;
    BOOL writeResult;
  } cases[] = {{"large write", block.size(), 0}, {"buffered write", 100, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Sim_ClearConsole();
    writeWholeFile("f.bin", "earlier");
    BOOL written, closed;
    {
      FileSizeLimit limit(50);
      ASSERT_EQ(FileAPI_CreateFile("f.bin", 1), 1);
      written = FileAPI_writeToFileBinary(block.data(), static_cast<uint32_t>(c.length));
      closed = FileAPI_CloseFile();
    }
    EXPECT_EQ(written, c.writeResult);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(fptr, nullptr);
    EXPECT_EQ(readWholeFile("f.bin"), "earlier");
    EXPECT_EQ(entries(), std::set<std::string>{"f.bin"});
    EXPECT_EQ(console(), "\r\nERROR: f.bin not written: File too large !\r\n");
  }
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

}  // namespace
