// One output file stream at a time, with every problem reported on the
// console.
//
// A file opened for writing is never written where it stands. The stream
// goes to a new file beside it, created exclusively; the close flushes it,
// forces it to the medium and only then puts it in place of the name in one
// step, with the permissions of the file it replaces. So a link of that name
// is replaced and what it leads to is never touched, a pipe or a device of
// that name is never opened, and a write that fails (a full disk) leaves the
// earlier file as it was and no new file behind. A write or close counts as
// done only when all of it was.
#include "FileAPI.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <string>

#include "Console.h"
#include "platform/Platform.h"

FILE *fptr = nullptr;

namespace {

const char *const MSG_NO_FILE = "ERROR: File does not exists";
const char *const MSG_NOT_OPENED = "ERROR: File does not exists or Not opened !";

// Names of the new file tried before giving up; one is taken only when
// another program makes files of the same names at the same time.
const int NEW_FILE_ATTEMPTS = 100;

// The file being written and the name it is to take; empty while the stream
// is one opened for reading, or none is open.
struct Replacement {
  std::string target;
  std::string temporary;
  int error;  // errno of the first step that failed, 0 while all went well
};
Replacement gReplacement;

// "ERROR: <name> not written: <reason> !", in the program's style; the
// reason is that of errno `error` unless given as text.
void reportNotWritten(const std::string &target, int error, const char *reason = nullptr) {
  const std::string line = "\r\nERROR: " + target +
                           " not written: " + (reason != nullptr ? reason : strerror(error)) +
                           " !\r";
  Console_Line(line.c_str());
}

// Closes the stream; for a written file, puts it in place when every step
// went well and removes it otherwise. 1 when the file is in place (or was
// only read).
BOOL finishStream(void) {
  FILE *stream = fptr;
  fptr = nullptr;
  if (gReplacement.target.empty()) {
    return fclose(stream) == 0 ? 1 : 0;
  }
  Replacement done = gReplacement;
  gReplacement = Replacement();
  if (done.error == 0 &&
      !Platform_CommitFile(stream, done.temporary.c_str(), done.target.c_str())) {
    done.error = errno != 0 ? errno : EIO;
  } else if (done.error != 0) {
    fclose(stream);
  }
  if (done.error != 0) {
    remove(done.temporary.c_str());
    reportNotWritten(done.target, done.error);
    return 0;
  }
  return 1;
}

// A new file beside fileName, in binary mode; its name in `temporary`.
FILE *createBeside(const std::string &fileName, std::string *temporary) {
  // The names differ from run to run, so that a crashed run's leftover does
  // not stand in the way.
  unsigned seed = static_cast<unsigned>(time(nullptr)) ^
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(&seed) >> 4);
  for (int attempt = 0; attempt < NEW_FILE_ATTEMPTS; ++attempt) {
    char suffix[16];
    snprintf(suffix, sizeof suffix, ".%08x.tmp", seed + static_cast<unsigned>(attempt) * 7919u);
    *temporary = fileName + suffix;
    FILE *stream = Platform_CreateNewFile(temporary->c_str());
    if (stream != nullptr || errno != EEXIST) {
      return stream;
    }
  }
  return nullptr;
}

// Copies the regular file `from` to the end of `to`. 0 with errno set.
BOOL copyInto(const char *from, FILE *to) {
  FILE *in = fopen(from, "rb");
  if (in == nullptr) {
    return 0;
  }
  char block[16384];
  BOOL ok = 1;
  size_t n;
  while (ok && (n = fread(block, 1, sizeof block, in)) > 0) {
    ok = fwrite(block, 1, n, to) == n ? 1 : 0;
  }
  if (ok && ferror(in)) {
    ok = 0;
    errno = EIO;
  }
  fclose(in);
  return ok;
}

// Opens the one stream for writing fileName, empty or (keepContents) with
// what the file holds, as a new file that takes the name at the close. A
// failure is told in the line of the reason, after the open's general line
// unless `reasonOnly`.
BOOL openForWriting(const char *fileName, BOOL isBinary, BOOL keepContents,
                    bool reasonOnly = false) {
  if (fptr != nullptr) {
    // A stream left open by the caller is finished first, as a close would.
    (void)finishStream();
  }
  if (fileName == nullptr) {
    Console_Line(MSG_NO_FILE);
    return 0;
  }
  // A link counts as what it leads to when its contents are kept; it is
  // replaced all the same.
  const int kind = Platform_FileKind(fileName, keepContents);
  if (kind == PLATFORM_OTHER_FILE) {
    // A directory, a pipe or a device: not a file to replace, and a pipe
    // opened for writing would wait for a reader for ever.
    if (!reasonOnly) {
      Console_Line(MSG_NO_FILE);
    }
    reportNotWritten(fileName, 0, "Not a regular file");
    return 0;
  }
  int error = 0;
  FILE *stream = nullptr;
  std::string temporary;
  if ((stream = createBeside(fileName, &temporary)) == nullptr) {
    error = errno != 0 ? errno : EIO;
  } else if (keepContents && kind == PLATFORM_REGULAR_FILE && !copyInto(fileName, stream)) {
    error = errno != 0 ? errno : EIO;
    fclose(stream);
    remove(temporary.c_str());
  }
  if (error != 0) {
    if (!reasonOnly) {
      Console_Line(MSG_NO_FILE);
    }
    reportNotWritten(fileName, error);
    return 0;
  }
  if (isBinary != 1) {
    Platform_TextModeStream(stream);
  }
  fptr = stream;
  gReplacement.target = fileName;
  gReplacement.temporary = temporary;
  gReplacement.error = 0;
  return 1;
}

BOOL streamIsOpen(void) {
  if (fptr == nullptr) {
    Console_Line(MSG_NOT_OPENED);
    return 0;
  }
  return 1;
}

// After a failed write nothing more is written: the file will not be put in
// place anyway.
BOOL writeAll(const void *data, size_t length) {
  if (gReplacement.error != 0) {
    return 0;
  }
  if (fwrite(data, 1, length, fptr) == length) {
    return 1;
  }
  if (!gReplacement.target.empty()) {
    gReplacement.error = errno != 0 ? errno : EIO;
  }
  return 0;
}

}  // namespace

BOOL FileAPI_CreateFile(const char *fileName, BOOL isBinary) {
  return openForWriting(fileName, isBinary, 0);
}

BOOL FileAPI_OpenFile_ToWrite(const char *fileName, BOOL isBinary) {
  return openForWriting(fileName, isBinary, 1);
}

BOOL FileAPI_ReplaceFile(const char *fileName) { return openForWriting(fileName, 1, 0, true); }

BOOL FileAPI_OpenFile_ToRead(const char *fileName, BOOL isBinary) {
  if (fptr != nullptr) {
    (void)finishStream();
  }
  gReplacement = Replacement();
  if (fileName != nullptr) {
    fptr = fopen(fileName, isBinary == 1 ? "rb" : "r");
  }
  if (fptr == nullptr) {
    Console_Line(MSG_NO_FILE);
    return 0;
  }
  return 1;
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
  // The stream is gone whatever happens; a failure means the file did not
  // take the name, and the one of that name is as it was.
  return finishStream();
}
