// One output file stream at a time, with every problem reported on the
// console. A write or close counts as done only when the runtime took all of
// it, so a full disk or a lost medium is never mistaken for a written file.
#include "FileAPI.h"

#include "Console.h"

FILE *fptr = nullptr;

namespace {

const char *const MSG_NO_FILE = "ERROR: File does not exists";
const char *const MSG_NOT_OPENED = "ERROR: File does not exists or Not opened !";

// Opens fileName in the given mode as the one stream. A stream left open by
// the caller is closed first: it would otherwise never be flushed.
BOOL openStream(const char *fileName, const char *mode) {
  if (fptr != nullptr) {
    fclose(fptr);
    fptr = nullptr;
  }
  if (fileName != nullptr) {
    fptr = fopen(fileName, mode);
  }
  if (fptr == nullptr) {
    Console_Line(MSG_NO_FILE);
    return 0;
  }
  return 1;
}

BOOL streamIsOpen(void) {
  if (fptr == nullptr) {
    Console_Line(MSG_NOT_OPENED);
    return 0;
  }
  return 1;
}

BOOL writeAll(const void *data, size_t length) {
  return fwrite(data, 1, length, fptr) == length ? 1 : 0;
}

}  // namespace

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary) {
  return openStream(fileName, isBinary == 1 ? "wb" : "w");
}

BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary) {
  return openStream(fileName, isBinary == 1 ? "ab" : "a");
}

BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary) {
  return openStream(fileName, isBinary == 1 ? "rb" : "r");
}

BOOL FileAPI_writeToFile(const char *stringToWrite) {
  if (!streamIsOpen()) {
    return 0;
  }
  if (stringToWrite == nullptr) {
    return 1;  // nothing to write
  }
  // The text is data, never a format: only the escaped "%%" becomes "%",
  // every other character (a lone "%" included) goes out as it stands.
  BOOL ok = 1;
  const char *runStart = stringToWrite;
  const char *p = stringToWrite;
  while (*p != '\0') {
    if (p[0] == '%' && p[1] == '%') {
      // The run up to and including the first "%"; the second is dropped.
      if (!writeAll(runStart, static_cast<size_t>(p - runStart) + 1)) {
        ok = 0;
      }
      p += 2;
      runStart = p;
    } else {
      ++p;
    }
  }
  if (p != runStart && !writeAll(runStart, static_cast<size_t>(p - runStart))) {
    ok = 0;
  }
  return ok;
}

BOOL FileAPI_writeToFileBinary(const void *dataToWrite, uint32_t dataLength) {
  if (!streamIsOpen()) {
    return 0;
  }
  if (dataLength == 0) {
    return 1;
  }
  if (dataToWrite == nullptr) {
    Console_Line("ERROR: No data to write !");
    return 0;
  }
  return writeAll(dataToWrite, dataLength);
}

BOOL FileAPI_CloseFile(void) {
  if (!streamIsOpen()) {
    return 0;
  }
  // The stream is gone whatever fclose says; a failure means buffered bytes
  // did not reach the file.
  const int result = fclose(fptr);
  fptr = nullptr;
  return result == 0 ? 1 : 0;
}
