// The embedded image catalogue: its table, and every image put through the
// conversion, checked against an independent Intel HEX converter.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ImageTestSupport.h"
#include "SimFixture.h"
#include "firmware/BinImage.h"

namespace {

struct CatalogueEntry {
  const char *name;
  int nameLength;
  int textLength;
  int imageLength;
};

// The release images; stand-ins are made to the same figures.
const CatalogueEntry kCatalogue[5] = {
    {"MCU_6G-SDI_61_R1_09.hex", 23, 255795, 123952},
    {"K613284_R1_09_TX_V1.mcs", 23, 2947446, 1047876},
    {"K613284_R1_09_RX_V1.mcs", 23, 3418078, 1215196},
    {"K613284_R1_09_TX_XC7A35.mcs", 27, 2273168, 808152},
    {"K613284_R1_09_RX_XC7A35.mcs", 27, 3018931, 1073288},
};

// Where the microcontroller image's data begins, and its one gap.
const uint32_t kMcuDataStart = 0x8000;
const uint32_t kMcuGapStart = 0x1AEFC;
const uint32_t kMcuGapEnd = 0x1B000;

bool allFF(const uint8_t *bytes, size_t from, size_t to) {
  return std::all_of(bytes + from, bytes + to, [](uint8_t b) { return b == 0xFF; });
}

TEST(Catalogue, TableOfFiveEntries) {
  for (int k = 0; k < 5; k++) {
    const autogen_files &entry = AUTOGEN_FILES[k];
    const CatalogueEntry &expected = kCatalogue[k];
    SCOPED_TRACE(expected.name);
    EXPECT_STREQ(entry.filePath, expected.name);
    EXPECT_EQ(entry.filePathLength, expected.nameLength);
    EXPECT_EQ(strlen(entry.filePath), static_cast<size_t>(entry.filePathLength));
    EXPECT_TRUE(std::all_of(entry.filePath + entry.filePathLength, entry.filePath + 70, [](char c) {
      return c == '\0';
    })) << "name field not zero-filled";
    EXPECT_EQ(entry.fileDataLength, expected.textLength);
    EXPECT_EQ(strlen(entry.fileData), static_cast<size_t>(entry.fileDataLength));
    EXPECT_EQ(entry.fileData[0], ':');
    const std::string end = ":00000001FF\r\n";
    EXPECT_EQ(std::string(entry.fileData + entry.fileDataLength - end.size()), end);
  }
  EXPECT_EQ(sizeof(MCU_6G_SDI_61_R1_09_hex), 255796u);
  EXPECT_EQ(sizeof(K613284_R1_09_TX_V1_mcs), 2947447u);
  EXPECT_EQ(sizeof(K613284_R1_09_RX_V1_mcs), 3418079u);
  EXPECT_EQ(sizeof(K613284_R1_09_TX_XC7A35_mcs), 2273169u);
  EXPECT_EQ(sizeof(K613284_R1_09_RX_XC7A35_mcs), 3018932u);
  EXPECT_EQ(AUTOGEN_FILES[0].fileData, MCU_6G_SDI_61_R1_09_hex);
  EXPECT_EQ(AUTOGEN_FILES[4].fileData, K613284_R1_09_RX_XC7A35_mcs);
}

class CatalogueTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    allocateBuffers();
    std::string pattern = (std::filesystem::temp_directory_path() / "catalogue-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    SimTest::TearDown();
  }

  // Converts a writable copy of entry k, as start-up and the update
  // sequence make it.
  BOOL convertEntry(int k) {
    const autogen_files &entry = AUTOGEN_FILES[k];
    std::vector<char> text(entry.fileData, entry.fileData + entry.fileDataLength);
    text.resize(text.size() + 16, '\0');
    Sim_ClearConsole();
    return ValidateFwAndConcatenateData(text.data());
  }

  std::string path(const std::string &name) { return (dir_ / name).string(); }

  static std::string readFile(const std::string &name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Entry k's text converted by an outside tool, which "{IN}" and "{OUT}"
  // in the command name; false when the tool failed.
  bool referenceImage(int k, std::string command, std::string *image) {
    const std::string in = path("image.hex");
    const std::string out = path("image.bin");
    std::ofstream(in, std::ios::binary)
        .write(AUTOGEN_FILES[k].fileData, AUTOGEN_FILES[k].fileDataLength);
    std::filesystem::remove(out);
    command.replace(command.find("{IN}"), 4, "'" + in + "'");
    command.replace(command.find("{OUT}"), 5, "'" + out + "'");
    if (std::system(command.c_str()) != 0) return false;
    *image = readFile(out);
    return true;
  }

  std::string imageBytes(size_t from = 0) {
    return std::string(reinterpret_cast<const char *>(gDataConcatenated) + from,
                       static_cast<size_t>(gDataConcatenatedLenght) - from);
  }

  std::filesystem::path dir_;
};

bool toolPresent(const char *tool) {
  const std::string line = std::string("command -v ") + tool + " > /dev/null 2>&1";
  return std::system(line.c_str()) == 0;
}

TEST_F(CatalogueTest, EveryEntryConvertsToItsImageLength) {
  for (int k = 0; k < 5; k++) {
    SCOPED_TRACE(kCatalogue[k].name);
    EXPECT_EQ(convertEntry(k), 1);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(gDataConcatenatedLenght, kCatalogue[k].imageLength);
  }
}

TEST_F(CatalogueTest, MicrocontrollerImageStartsWith0x8000BytesOfFF) {
  ASSERT_EQ(convertEntry(0), 1);
  ASSERT_EQ(gDataConcatenatedLenght, kCatalogue[0].imageLength);
  EXPECT_TRUE(allFF(gDataConcatenated, 0, kMcuDataStart));
  EXPECT_TRUE(allFF(gDataConcatenated, kMcuGapStart, kMcuGapEnd));
  EXPECT_FALSE(allFF(gDataConcatenated, kMcuDataStart, kMcuDataStart + 16));
}

// A logic image converted after another leaves no byte of the first: the
// microcontroller image is shorter than every logic image.
TEST_F(CatalogueTest, ALogicImageLeavesNothingBehindForTheMicrocontrollerImage) {
  ASSERT_EQ(convertEntry(2), 1);
  ASSERT_EQ(convertEntry(0), 1);
  EXPECT_TRUE(allFF(gDataConcatenated, 0, kMcuDataStart));
  EXPECT_TRUE(allFF(gDataConcatenated, kMcuGapStart, kMcuGapEnd));
  EXPECT_TRUE(
      allFF(gDataConcatenated, static_cast<size_t>(gDataConcatenatedLenght), CONCAT_BUFFER_SIZE));
}

TEST_F(CatalogueTest, LogicImagesAgreeWithAnIndependentConverter) {
  // Both start their output at the lowest address, 0 in a logic image.
  std::string command;
  if (toolPresent("objcopy")) {
    command = "objcopy -I ihex -O binary {IN} {OUT}";
  } else if (toolPresent("srec_cat")) {
    command = "srec_cat {IN} -Intel -o {OUT} -Binary";
  } else {
    GTEST_SKIP() << "neither objcopy (binutils) nor srec_cat (srecord) is installed";
  }
  for (int k = 1; k < 5; k++) {
    SCOPED_TRACE(kCatalogue[k].name);
    ASSERT_EQ(convertEntry(k), 1);
    std::string reference;
    ASSERT_TRUE(referenceImage(k, command, &reference)) << command;
    EXPECT_EQ(reference.size(), static_cast<size_t>(gDataConcatenatedLenght));
    EXPECT_TRUE(reference == imageBytes()) << "image differs from the reference converter";
  }
}

// objcopy starts its output at the lowest address, 0x80008000 here, and is
// told to fill the gap as the conversion does.
TEST_F(CatalogueTest, MicrocontrollerImageAgreesWithObjcopyFromItsFirstDataByte) {
  if (!toolPresent("objcopy")) {
    GTEST_SKIP() << "objcopy (binutils) is not installed";
  }
  ASSERT_EQ(convertEntry(0), 1);
  std::string reference;
  ASSERT_TRUE(
      referenceImage(0, "objcopy -I ihex -O binary --gap-fill 0xFF {IN} {OUT}", &reference));
  EXPECT_EQ(reference.size(), static_cast<size_t>(gDataConcatenatedLenght) - kMcuDataStart);
  EXPECT_TRUE(reference == imageBytes(kMcuDataStart)) << "image differs from objcopy's";
}

// --- the generator of the catalogue ------------------------------------------

const char *const kImageNames[5] = {"MCU_6G-SDI_61_R1_09.hex", "K613284_R1_09_TX_V1.mcs",
                                    "K613284_R1_09_RX_V1.mcs", "K613284_R1_09_TX_XC7A35.mcs",
                                    "K613284_R1_09_RX_XC7A35.mcs"};

class GeneratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "generator-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Five image files of the end-of-file record alone, but the
  // microcontroller image, which holds mcuText.
  void writeImages(const std::string &mcuText) {
    for (const char *name : kImageNames) {
      std::ofstream(imagePath(name), std::ios::binary) << ":00000001FF\r\n";
    }
    std::ofstream(imagePath(kImageNames[0]), std::ios::binary | std::ios::trunc) << mcuText;
  }
  std::string imagePath(const char *name) { return (dir_ / name).string(); }
  std::string outPath(const char *name) { return (dir_ / "out" / name).string(); }

  // Runs the generator on the five files; its exit status, and the first
  // line it wrote on standard error.
  int generate(std::string *firstError) {
    std::string line = std::string(FWUPG_PYTHON) + " '" + FWUPG_GEN_BINIMAGE + "' --out-dir '" +
                       (dir_ / "out").string() + "'";
    for (const char *name : kImageNames) line += " '" + imagePath(name) + "'";
    line += " 2> '" + (dir_ / "errors.txt").string() + "'";
    const int status = std::system(line.c_str());
    std::ifstream errors(dir_ / "errors.txt");
    std::getline(errors, *firstError);
    return status;
  }

  std::filesystem::path dir_;
};

TEST_F(GeneratorTest, RefusesImagesTheToolCouldNotTakeAsTheyAre) {
  const std::string eof = ":00000001FF\r\n";
  const std::string fourBytes = dataRecord(0, byteRun(4, 1)) + "\r\n";
  const struct {
    const char *what;
    std::string text;
    std::string error;  // after "FILE:"
  } cases[] = {
      {"empty file", "", "1: empty image file"},
      {"blank first line", "\r\n" + eof, "1: the text does not start with the start code ':'"},
      {"lower-case digits", ":0400000001020304f2\r\n" + eof,
       "1: character 'f' in column 18 is not an upper-case hex digit"},
      {"line feed alone", fourBytes + ":0400100001020304E2\n" + eof,
       "2: the line does not end with CR LF"},
      {"wrong checksum", fourBytes + ":0400000001020304F3\r\n" + eof,
       "2: wrong checksum 0xF3, the record needs 0xF2"},
      {"count against line length", ":0500000001020304F1\r\n" + eof,
       "1: byte count 5 does not match the line, which holds 4 data bytes"},
      {"44 data bytes", dataRecord(0, byteRun(44, 0)) + "\r\n" + eof,
       "1: 44 data bytes; the tool takes at most 43 per record"},
      {"unknown record type", ":00000006FA\r\n" + eof, "1: unknown record type 0x06"},
      {"short extended linear address", ":0100000400FB\r\n" + eof,
       "1: extended linear address record with 1 data byte, needs exactly 2"},
      {"upper address beyond the area", elaRecord(0x0040) + "\r\n" + eof,
       "1: extended linear address 0x0040 puts data at offset 0x400000, beyond the 4 MiB image "
       "area"},
      {"data running past the area",
       elaRecord(0x003F) + "\r\n" + dataRecord(0xFFF8, byteRun(16, 0)) + "\r\n" + eof,
       "2: data at offsets 0x3FFFF8 to 0x400007 runs past the 4 MiB image area"},
      {"no end-of-file record at the end", fourBytes,
       "1: the text does not end with the end-of-file record ':00000001FF' and CR LF"},
      {"no final line end", ":00000001FF", "1: the text does not end with a line end"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    writeImages(c.text);
    std::string error;
    EXPECT_NE(generate(&error), 0);
    EXPECT_EQ(error, imagePath(kImageNames[0]) + ":" + c.error);
    EXPECT_FALSE(std::filesystem::exists(outPath("BinImage.cpp")));
  }
}

TEST_F(GeneratorTest, RefusesAMissingImage) {
  writeImages(":00000001FF\r\n");
  std::filesystem::remove(imagePath(kImageNames[3]));
  std::string error;
  EXPECT_NE(generate(&error), 0);
  EXPECT_EQ(error, imagePath(kImageNames[3]) +
                       ":0: cannot read the image file: No such file or directory");
}

TEST_F(GeneratorTest, WritesTheCatalogueOnceAndLeavesItAloneWhenNothingChanged) {
  writeImages(elaRecord(0x8000) + "\r\n" + dataRecord(0x8000, byteRun(4, 1)) +
              "\r\n:00000001FF\r\n");
  std::string error;
  ASSERT_EQ(generate(&error), 0) << error;
  std::ifstream header(outPath("BinImage.h"));
  std::string firstLine;
  std::getline(header, firstLine);
  EXPECT_EQ(firstLine,
            "// Generated by tools/gen_binimage.py from MCU_6G-SDI_61_R1_09.hex, "
            "K613284_R1_09_TX_V1.mcs, K613284_R1_09_RX_V1.mcs, K613284_R1_09_TX_XC7A35.mcs, "
            "K613284_R1_09_RX_XC7A35.mcs. Do not edit.");
  const std::string text((std::istreambuf_iterator<char>(header)),
                         std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("#define _AUTOGEN_BINIMAGE_H_"), std::string::npos);
  EXPECT_NE(text.find("extern const char MCU_6G_SDI_61_R1_09_hex[52];"), std::string::npos);
  EXPECT_NE(text.find("extern const char K613284_R1_09_RX_XC7A35_mcs[14];"), std::string::npos);

  // A rewrite replaces the file, and with it the inode.
  struct stat before, after;
  ASSERT_EQ(stat(outPath("BinImage.cpp").c_str(), &before), 0);
  ASSERT_EQ(generate(&error), 0) << error;
  ASSERT_EQ(stat(outPath("BinImage.cpp").c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

}  // namespace
