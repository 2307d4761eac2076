// The embedded image catalogue: its table, and every image put through the
// conversion, checked against an independent Intel HEX converter.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

}  // namespace
