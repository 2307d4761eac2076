// The embedded image catalogue: its table, every image put through the
// conversion and checked against an independent Intel HEX converter, and the
// build step that writes the catalogue.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UnitModel.h"

namespace {

// The release images' figures at each catalogue position; stand-ins are made
// to the same figures. The names come from the catalogue file.
const struct {
  int textLength;
  int imageLength;
} kFigures[5] = {
    {255795, 123952}, {2947446, 1047876}, {3418078, 1215196}, {2273168, 808152}, {3018931, 1073288},
};

// The name of an image's array: the file name with "." and "-" as "_".
std::string arrayName(std::string fileName) {
  std::replace(fileName.begin(), fileName.end(), '.', '_');
  std::replace(fileName.begin(), fileName.end(), '-', '_');
  return fileName;
}

// Where the microcontroller image's data begins, and its one gap.
const size_t kMcuDataStart = 0x8000;
const size_t kMcuGapStart = 0x1AEFC;
const size_t kMcuGapEnd = 0x1B000;

bool allFF(size_t from, size_t to) {
  return std::all_of(gDataConcatenated + from, gDataConcatenated + to,
                     [](uint8_t b) { return b == 0xFF; });
}

TEST(Catalogue, TableOfFiveEntries) {
  ASSERT_EQ(AUTOGEN_FILE_COUNT, 5);
  ASSERT_EQ(std::size(kCatalogueFiles), 5u);
  const std::string header = readWholeFile(FWUPG_BINIMAGE_HEADER);
  for (int k = 0; k < 5; k++) {
    const autogen_files &entry = AUTOGEN_FILES[k];
    SCOPED_TRACE(kCatalogueFiles[k]);
    EXPECT_STREQ(entry.filePath, kCatalogueFiles[k]);
    EXPECT_EQ(static_cast<size_t>(entry.filePathLength), strlen(kCatalogueFiles[k]));
    EXPECT_TRUE(std::all_of(entry.filePath + entry.filePathLength, entry.filePath + 70, [](char c) {
      return c == '\0';
    })) << "name field not zero-filled";
    EXPECT_EQ(entry.fileDataLength, kFigures[k].textLength);
    EXPECT_NE(header.find("extern const char " + arrayName(kCatalogueFiles[k]) + "[" +
                          std::to_string(entry.fileDataLength + 1) + "];"),
              std::string::npos)
        << "array not declared with the text's size and its terminator";
    EXPECT_EQ(strlen(entry.fileData), static_cast<size_t>(entry.fileDataLength));
    EXPECT_EQ(entry.fileData[0], ':');
    EXPECT_EQ(catalogueText(k).substr(static_cast<size_t>(entry.fileDataLength) - 13),
              ":00000001FF\r\n");
  }
}

// The release version, the firmware entry and the device/role table that
// the tool uses are the catalogue file's.
TEST(Catalogue, ReleaseAndImageChoiceAreTheCatalogueFiles) {
  EXPECT_STREQ(FIRMWARE_VERSION_TO_UPLOAD, CATALOGUE_VERSION);
  EXPECT_EQ(AUTOGEN_MICROCONTROLLER_ENTRY, kCatalogueMicrocontroller);
  ASSERT_EQ(static_cast<size_t>(AUTOGEN_LOGIC_IMAGE_COUNT), std::size(kCatalogueLogic));
  for (size_t k = 0; k < std::size(kCatalogueLogic); k++) {
    SCOPED_TRACE(k);
    EXPECT_EQ(AUTOGEN_LOGIC_IMAGES[k].deviceCode, kCatalogueLogic[k].deviceCode);
    EXPECT_EQ(AUTOGEN_LOGIC_IMAGES[k].isTx, kCatalogueLogic[k].isTx ? 1 : 0);
    EXPECT_EQ(AUTOGEN_LOGIC_IMAGES[k].entry, kCatalogueLogic[k].entry);
  }
}

class CatalogueTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    allocateBuffers();
  }
};

// Converted one after the other, longest logic image first: each to its
// length and to the bytes objcopy makes of it, and the microcontroller image,
// shorter than every logic image, keeps nothing of the one before. objcopy
// starts its output at the lowest address: 0 in a logic image, 0x80008000 in
// the microcontroller image, whose gap it is told to fill as the conversion
// does.
TEST_F(CatalogueTest, EveryEntryConvertsToItsImageAsObjcopyConvertsIt) {
  const bool objcopy = std::system("command -v objcopy > /dev/null 2>&1") == 0;
  for (int k : {2, 1, 3, 4, 0}) {
    SCOPED_TRACE(kCatalogueFiles[k]);
    Sim_ClearConsole();
    ASSERT_EQ(convertCatalogueEntry(k), 1);
    EXPECT_EQ(console(), "");
    EXPECT_EQ(gDataConcatenatedLenght, kFigures[k].imageLength);
    if (objcopy) {
      writeWholeFile("image.hex", catalogueText(k));
      ASSERT_EQ(std::system("objcopy -I ihex -O binary --gap-fill 0xFF image.hex image.bin"), 0);
      EXPECT_TRUE(readWholeFile("image.bin") == convertedImage().substr(k == 0 ? kMcuDataStart : 0))
          << "image differs from objcopy's";
    }
  }
  EXPECT_TRUE(allFF(0, kMcuDataStart));
  EXPECT_FALSE(allFF(kMcuDataStart, kMcuDataStart + 16));
  EXPECT_TRUE(allFF(kMcuGapStart, kMcuGapEnd));
  EXPECT_TRUE(allFF(static_cast<size_t>(gDataConcatenatedLenght), CONCAT_BUFFER_SIZE));
  if (!objcopy) {
    GTEST_SKIP() << "objcopy (binutils) is not installed: the images were not compared";
  }
}

// IMAGES.txt, written by the build beside the programs: per entry the text's
// size and SHA-256 (as sha256sum computes it) and the image length and
// checksum that the tool's own conversion gives.
TEST_F(CatalogueTest, ManifestGivesTheToolsOwnFigures) {
  std::istringstream manifest(readWholeFile(FWUPG_IMAGES_MANIFEST));
  std::string line, version, kind;
  std::vector<std::string> rows;
  while (std::getline(manifest, line)) {
    if (line.rfind("version: ", 0) == 0) {
      version = line.substr(9);
    } else if (line.rfind("images: ", 0) == 0) {
      kind = line.substr(8);
    } else if (!line.empty() && line[0] != '#') {
      rows.push_back(line);
    }
  }
  EXPECT_EQ(version, CATALOGUE_VERSION);
  // Stand-ins are known by their first data bytes, "STAND-IN/NO UNIT", even
  // when a copy of them was given as the release images.
  bool marked = false;
  for (int k = 0; k < 5; k++) {
    marked |= catalogueText(k).find("5354414E442D494E2F4E4F20554E4954") != std::string::npos;
  }
  EXPECT_EQ(kind, FWUPG_STANDIN_IMAGES || marked ? "stand-in" : "release");
  // The tool carries the same figures for its version text and run log.
  EXPECT_EQ(kind, AUTOGEN_IMAGES_KIND);
  ASSERT_EQ(rows.size(), 5u);
  for (int k = 0; k < 5; k++) {
    SCOPED_TRACE(kCatalogueFiles[k]);
    ASSERT_EQ(convertCatalogueEntry(k), 1);
    writeWholeFile("text", catalogueText(k));
    ASSERT_EQ(std::system("sha256sum text > sum.txt"), 0);
    const std::string sha256 = readWholeFile("sum.txt").substr(0, 64);
    EXPECT_EQ(rows[static_cast<size_t>(k)],
              std::string(kCatalogueFiles[k]) + " " + std::to_string(kFigures[k].textLength) + " " +
                  sha256 + " " + std::to_string(gDataConcatenatedLenght) + " " +
                  std::to_string(imageCheckSum()));
    EXPECT_EQ(rows[static_cast<size_t>(k)], AUTOGEN_IMAGE_FIGURES[k]);
  }
}

// --- the generator of the catalogue ------------------------------------------

class GeneratorTest : public TempDirTest {
 protected:
  // Five image files of the end-of-file record alone, but the
  // microcontroller image, which holds mcuText.
  void writeImages(const std::string &mcuText) {
    for (const char *name : kCatalogueFiles) writeWholeFile(imagePath(name), ":00000001FF\r\n");
    writeWholeFile(imagePath(kCatalogueFiles[0]), mcuText);
  }
  std::string imagePath(const char *name) { return (dir_ / name).string(); }

  // Runs the generator with the catalogue file on the image files `names`
  // (the five of the catalogue file by default); its exit status, and the
  // first line it wrote on standard error.
  int generate(std::string *firstError, const std::string &catalogue = FWUPG_CATALOGUE_FILE,
               const std::vector<std::string> &names = {std::begin(kCatalogueFiles),
                                                        std::end(kCatalogueFiles)}) {
    std::string line = std::string(FWUPG_PYTHON) + " '" + FWUPG_GEN_BINIMAGE +
                       "' --out-dir out --catalogue '" + catalogue + "'";
    for (const std::string &name : names) line += " '" + imagePath(name.c_str()) + "'";
    const int status = std::system((line + " 2> errors.txt").c_str());
    const std::string errors = readWholeFile("errors.txt");
    *firstError = errors.substr(0, errors.find('\n'));
    return status;
  }
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
      // Data that ends exactly at the end of the area fits, as the tool takes
      // it: only the missing end-of-file record is left to refuse.
      {"data ending at the end of the area, no end-of-file record",
       elaRecord(0x003F) + "\r\n" + dataRecord(0xFFF0, byteRun(16, 0)) + "\r\n",
       "2: the text does not end with the end-of-file record ':00000001FF' and CR LF"},
      {"no final line end", ":00000001FF", "1: the text does not end with a line end"},
      // The tool ends the image with the last record of the text and lets a
      // later record overwrite an earlier one.
      {"record ending beyond the last one",
       dataRecord(0x10, byteRun(16, 0)) + "\r\n" + fourBytes + eof,
       "1: data record ends at offset 0x20, beyond the end 0x4 of the last data record (line 2): "
       "the image would be cut short"},
      {"overlapping records",
       fourBytes + dataRecord(0x10, byteRun(16, 0)) + "\r\n" + dataRecord(0x1E, byteRun(4, 0)) +
           "\r\n" + eof,
       "3: data at offsets 0x1E to 0x21 overlaps that of line 2 (0x10 to 0x1F): one record would "
       "overwrite the other"},
      {"records overlapping by one byte",
       dataRecord(0x10, byteRun(16, 0)) + "\r\n" + dataRecord(0x1F, byteRun(4, 0)) + "\r\n" + eof,
       "2: data at offsets 0x1F to 0x22 overlaps that of line 1 (0x10 to 0x1F): one record would "
       "overwrite the other"},
      // The tool passes over segment addresses: the data after an extended
      // segment address would land elsewhere than the file says.
      {"extended segment address", hexRecord(2, 0, {0x10, 0x00}) + "\r\n" + fourBytes + eof,
       "1: extended segment address record: the tool takes linear addresses only and passes over "
       "it"},
      {"start segment address", fourBytes + hexRecord(3, 0, {0, 0, 0x12, 0x34}) + "\r\n" + eof,
       "2: start segment address record: the tool takes linear addresses only and passes over it"},
      // The tool reads on past the end-of-file record and places what follows.
      {"data after the end-of-file record", eof + fourBytes + eof,
       "2: data record after the end-of-file record of line 1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    writeImages(c.text);
    std::string error;
    EXPECT_NE(generate(&error), 0);
    EXPECT_EQ(error, imagePath(kCatalogueFiles[0]) + ":" + c.error);
    EXPECT_FALSE(std::filesystem::exists("out/BinImage.cpp"));
  }
  writeImages(":00000001FF\r\n");
  std::filesystem::remove(imagePath(kCatalogueFiles[3]));
  std::string error;
  EXPECT_NE(generate(&error), 0);
  EXPECT_EQ(error, imagePath(kCatalogueFiles[3]) +
                       ":0: cannot read the image file: No such file or directory");
}

TEST_F(GeneratorTest, WritesTheCatalogueOnceAndLeavesItAloneWhenNothingChanged) {
  // Records out of order that neither overlap nor end beyond the last.
  writeImages(elaRecord(0x8000) + "\r\n" + dataRecord(0x8004, byteRun(4, 5)) + "\r\n" +
              dataRecord(0x8000, byteRun(4, 1)) + "\r\n" + dataRecord(0x8008, byteRun(4, 9)) +
              "\r\n:00000001FF\r\n");
  std::string error;
  ASSERT_EQ(generate(&error), 0) << error;
  const std::string header = readWholeFile("out/BinImage.h");
  std::string names;
  for (const char *name : kCatalogueFiles) names += std::string(names.empty() ? "" : ", ") + name;
  EXPECT_EQ(header.substr(0, header.find('\n')),
            "// Generated by tools/images/gen_binimage.py from " + names + ". Do not edit.");
  EXPECT_NE(header.find("#define _AUTOGEN_BINIMAGE_H_"), std::string::npos);
  EXPECT_NE(header.find("extern const char " + arrayName(kCatalogueFiles[0]) + "[94];"),
            std::string::npos);
  EXPECT_NE(header.find("extern const char " + arrayName(kCatalogueFiles[4]) + "[14];"),
            std::string::npos);

  // A rewrite would replace the file, and with it the inode.
  struct stat before, after;
  ASSERT_EQ(stat("out/BinImage.cpp", &before), 0);
  ASSERT_EQ(generate(&error), 0) << error;
  ASSERT_EQ(stat("out/BinImage.cpp", &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
}

// The refusal of a file name that is no plain name, for image k.
std::string fileNameRule(int k) {
  return "image " + std::to_string(k) +
         ": \"file\" must be a plain file name of at most 69 characters (ASCII letters, digits, "
         "'_', '-' and '.', not starting with '.', '_' or '-')";
}

// CMake's configure-time refusal of a catalogue file, as one line: the text
// of its error message, which CMake wraps and indents.
std::string configureError(const std::string &catalogue) {
  const std::string command = std::string(FWUPG_CMAKE) + " -S '" + FWUPG_SOURCE_DIR +
                              "' -B configure -DFIRMWARE_CATALOGUE='" + catalogue +
                              "' > /dev/null 2> configure.txt";
  if (std::system(command.c_str()) == 0) return "(configured)";
  const std::string output = readWholeFile("configure.txt");
  const size_t start = output.find("(message):\n");
  const size_t end = output.find("\nCall Stack");
  if (start == std::string::npos || end == std::string::npos) return output;
  std::istringstream words(output.substr(start + 11, end - start - 11));
  std::string word, message;
  while (words >> word) message += (message.empty() ? "" : " ") + word;
  return message;
}

// Another catalogue, of another release that lists the same files in another
// order, gives its version, firmware entry and image choice; one the tool
// could not use is refused before anything is written.
TEST_F(GeneratorTest, TakesTheReleaseAndTheImageChoiceFromTheCatalogueFile) {
  writeImages(":00000001FF\r\n");
  const auto image = [](int k, const std::string &rest) {
    return std::string("{\"file\": \"") + kCatalogueFiles[k] + "\", " + rest + "}";
  };
  const std::string tx = "\"unit\": \"TX\"", rx = "\"unit\": \"RX\"";
  const auto catalogue = [&](const std::string &version, const std::string &images) {
    writeWholeFile("catalogue.json",
                   "{\"version\": \"" + version + "\", \"images\": [" + images + "]}");
    return (dir_ / "catalogue.json").string();
  };
  const std::string logic =
      image(4, "\"device_code\": 2, " + tx) + ", " + image(1, "\"device_code\": 2, " + rx) + ", " +
      image(3, "\"device_code\": 7, " + tx) + ", " + image(2, "\"device_code\": 7, " + rx);
  std::string error;
  ASSERT_EQ(
      generate(&error, catalogue("2.3.4", logic + ", " + image(0, "\"microcontroller\": true"))), 0)
      << error;
  const std::string header = readWholeFile("out/BinImage.h");
  EXPECT_NE(header.find("#define AUTOGEN_RELEASE_VERSION \"2.3.4\"\n"), std::string::npos);
  EXPECT_NE(header.find("#define AUTOGEN_MICROCONTROLLER_ENTRY 4\n"), std::string::npos);
  const std::string source = readWholeFile("out/BinImage.cpp");
  const std::string table = source.substr(source.find("AUTOGEN_LOGIC_IMAGES"));
  size_t at = 0;
  for (const char *row : {"{2, 1, 0}", "{2, 0, 1}", "{7, 1, 2}", "{7, 0, 3}"}) {
    at = table.find(row, at);
    EXPECT_NE(at, std::string::npos) << row << " not in order in " << table;
  }

  // Configuring refuses each of them in the same words, before anything is
  // built: the build asks the same reader.
  const std::string mcu = image(0, "\"microcontroller\": true");
  const std::string oneRole = ", \"only_for_this_unit\": [2]";
  const std::string knownCodes =
      "\"device_code\" and \"device_codes\" take logic-device codes the tool knows (DEVICE_* of "
      "src/UnitUpdate.h: 1, 2, 3, 4, 5, 6, 7, 8, 9)";
  const struct {
    const char *what;
    std::string version, images, error;  // error after "<catalogue>: "
  } refused[] = {
      {"no microcontroller image", "1.1.0", logic,
       "exactly one image must be marked \"microcontroller\": true"},
      {"a device code for one role only", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 2, " + tx),
       "device code 2 has a TX image but no RX image (image 1 lists it in \"only_for_this_unit\" "
       "when RX units of that code are to be refused)"},
      {"a version in other digits than ASCII", "1.0.\xd9\xa9", mcu + ", " + logic,
       "\"version\" must be ASCII digits and dots of the form 1.0.9"},
      {"a file name with a folder", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 2, " + tx) +
           ", {\"file\": \"../RX.mcs\", \"device_code\": 2, " + rx + "}",
       fileNameRule(2)},
      {"a file name beyond ASCII", "1.1.0",
       "{\"file\": \"MCU_\xc3\xa9.hex\", \"microcontroller\": true}, " + logic, fileNameRule(0)},
      {"a file listed twice", "1.1.0", mcu + ", " + logic + ", " + mcu,
       std::string("image 5: \"file\" ") + kCatalogueFiles[0] + " is listed twice"},
      // The codes are those of the tool's own table; 0 is a unit without a
      // logic device.
      {"a code the tool does not know", "1.1.0",
       mcu + ", " + image(1, "\"device_codes\": [2, 10], " + tx),
       std::string("image 1 (") + kCatalogueFiles[1] + "): " + knownCodes},
      {"no logic device", "1.1.0", mcu + ", " + image(1, "\"device_code\": 0, " + tx),
       std::string("image 1 (") + kCatalogueFiles[1] + "): " + knownCodes},
      {"one code twice for one role", "1.1.0",
       mcu + ", " + image(1, "\"device_codes\": [2, 3], " + tx + oneRole) + ", " +
           image(2, "\"device_code\": 3, " + tx),
       std::string("image 2 (") + kCatalogueFiles[2] + "): a second image for device code 3, TX"},
      {"one role only, but served for both", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 2, " + tx + oneRole) + ", " +
           image(2, "\"device_code\": 2, " + rx),
       std::string("image 1 (") + kCatalogueFiles[1] +
           "): device code 2 is \"only_for_this_unit\" but image 2 serves it for RX"},
      {"one role only for a code the image does not serve", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 3, " + tx + oneRole),
       std::string("image 1 (") + kCatalogueFiles[1] +
           "): \"only_for_this_unit\" must list codes of the image's own \"device_code\" or "
           "\"device_codes\""},
      {"both forms of the codes", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 2, \"device_codes\": [2], " + tx + oneRole),
       std::string("image 1 (") + kCatalogueFiles[1] +
           "): give either \"device_code\" or \"device_codes\""},
      {"a misspelt field", "1.1.0",
       mcu + ", " + image(1, "\"device_code\": 2, " + tx + ", \"only_for_this_units\": [2]"),
       std::string("image 1 (") + kCatalogueFiles[1] + "): unknown field \"only_for_this_units\""},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all("out");
    const std::string path = catalogue(c.version, c.images);
    EXPECT_NE(generate(&error, path), 0);
    EXPECT_EQ(error, path + ": " + c.error);
    EXPECT_FALSE(std::filesystem::exists("out/BinImage.h"));
    EXPECT_EQ(configureError(path), path + ": " + c.error);
  }
}

// A new logic-device code for one role, served by an image the release
// already has, is one changed line of the catalogue file: here code 3
// (DEVICE_XC7A75_484) for RX units, by the RX image of code 1. The generator
// writes the release's table with that one row more; given to the tool's
// choice, it serves an RX unit of code 3 that image and refuses a TX unit of
// code 3 as an unknown product once the unit has told its role.
TEST_F(GeneratorTest, ACodeForOneRoleIsOneLineOfTheCatalogue) {
  std::string changed = readWholeFile(FWUPG_CATALOGUE_FILE);
  const std::string line = "\"device_code\": 1, \"unit\": \"RX\"";
  const size_t at = changed.find(line);
  ASSERT_NE(at, std::string::npos) << changed;
  changed.replace(at, line.size(),
                  "\"device_codes\": [1, 3], \"unit\": \"RX\", \"only_for_this_unit\": [3]");
  writeWholeFile("catalogue.json", changed);
  writeImages(":00000001FF\r\n");
  std::string error;
  ASSERT_EQ(generate(&error, (dir_ / "catalogue.json").string()), 0) << error;

  // The release's rows, with code 3 for RX right after code 1 for RX.
  const int rx35 = catalogueLogicEntry(DEVICE_XC7A35_484, false);
  std::string expected;
  for (const CatalogueLogicImage &image : kCatalogueLogic) {
    expected += std::to_string(image.deviceCode) + " " + std::to_string(image.isTx) + " " +
                std::to_string(image.entry) + "\n";
    if (image.deviceCode == DEVICE_XC7A35_484 && !image.isTx) {
      expected += std::to_string(DEVICE_XC7A75_484) + " 0 " + std::to_string(rx35) + "\n";
    }
  }
  // The rows of AUTOGEN_LOGIC_IMAGES as the generator wrote them.
  const std::string source = readWholeFile("out/BinImage.cpp");
  std::istringstream table(source.substr(source.find("AUTOGEN_LOGIC_IMAGES[")));
  std::vector<autogen_logic_image> rows;
  std::string text, got;
  std::getline(table, text);
  while (std::getline(table, text) && text != "};") {
    autogen_logic_image row;
    ASSERT_EQ(sscanf(text.c_str(), " {%d, %d, %d},", &row.deviceCode, &row.isTx, &row.entry), 3)
        << text;
    rows.push_back(row);
    got += std::to_string(row.deviceCode) + " " + std::to_string(row.isTx) + " " +
           std::to_string(row.entry) + "\n";
  }
  EXPECT_EQ(got, expected);

  // The whole identification against a simulated unit of code 3.
  const std::string versions =
      "Checking firmware version ..............  1.00.08 \r\n"
      "Checking fpga version ..................  K6G 1.03  device:3\r\n"
      "Checking product .......... ";
  const struct {
    const char *productId;
    BOOL identified;
    std::string transcript;
    int logicEntry;
  } units[] = {
      {VALIDATE_RX_PRODUCT_ID_STRING, 1,
       versions + "RX OK\r\n" VALIDATE_RX_PRODUCT_ID_STRING "\r\n", rx35},
      {VALIDATE_TX_PRODUCT_ID_STRING, 0,
       versions + "TX OK\r\n" VALIDATE_TX_PRODUCT_ID_STRING "\r\nFAILED, Unknown product\r\n", -1},
  };
  allocateBuffers();
  for (const auto &c : units) {
    SCOPED_TRACE(c.productId);
    UnitConfig config;
    config.versionReply = "1.0.8 K6G 1.3 3\r\n>>";
    config.productId = c.productId;
    UnitModel unit(config);
    Sim_AddPort(1, &unit);
    ComPortAPI_SetBaudRate(config.baudRate);
    ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
    Sim_ClearConsole();
    EXPECT_EQ(identifyUnitAndSelectImageFrom(rows.data(), static_cast<int>(rows.size())),
              c.identified);
    EXPECT_EQ(console(), c.transcript);
    EXPECT_EQ(gUnitIdentity.logicEntry, c.logicEntry);
    (void)ComPortAPI_CloseCOM();
    SerialLink_ResetToStart();
    Sim_Reset();
  }
}

// Image files whose names give the same array name, or a keyword, still give
// a catalogue that compiles.
TEST_F(GeneratorTest, FileNamesThatGiveNoArrayNameOfTheirOwnStillCompile) {
  // The microcontroller image, then two device codes for TX and RX.
  const std::vector<std::string> names = {"T-1.hex", "T.1.hex", "int", "autogen_image_0",
                                          "Plain.mcs"};
  const char *roles[] = {"\"microcontroller\": true", "\"device_code\": 3, \"unit\": \"TX\"",
                         "\"device_code\": 3, \"unit\": \"RX\"",
                         "\"device_code\": 5, \"unit\": \"TX\"",
                         "\"device_code\": 5, \"unit\": \"RX\""};
  std::string images;
  for (size_t k = 0; k < names.size(); k++) {
    writeWholeFile(imagePath(names[k].c_str()), ":00000001FF\r\n");
    images += std::string(k ? ", " : "") + "{\"file\": \"" + names[k] + "\", " + roles[k] + "}";
  }
  writeWholeFile("catalogue.json", "{\"version\": \"1.1.0\", \"images\": [" + images + "]}");
  std::string error;
  ASSERT_EQ(generate(&error, (dir_ / "catalogue.json").string(), names), 0) << error;
  const std::string compile = std::string(FWUPG_CXX) +
                              " -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I out "
                              "out/BinImage.cpp 2> compile.txt";
  EXPECT_EQ(std::system(compile.c_str()), 0) << readWholeFile("compile.txt");
  // A name of its own stays the array's name.
  const std::string header = readWholeFile("out/BinImage.h");
  EXPECT_NE(header.find("extern const char autogen_image_1[14];"), std::string::npos) << header;
  EXPECT_NE(header.find("extern const char Plain_mcs[14];"), std::string::npos) << header;
}

}  // namespace
