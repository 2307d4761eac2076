#include "RecordFiles.h"

#include <errno.h>
#include <string.h>

#include <vector>

#include "Console.h"
#include "TextHelpers.h"

namespace {

// The records whose writing failed, and whether their incompleteness has
// been told.
struct FailedRecord {
  std::string name;
  std::string path;
  bool told;
};
std::vector<FailedRecord> sFailed;

bool sameFile(const PlatformRecordFile &a, const PlatformRecordFile &b) {
  return a.volume == b.volume && a.index == b.index;
}

std::string cannotBeWritten(const RecordFileRequest &request, int error) {
  return std::string(request.option) + ": " + printableText(request.path) +
         " cannot be written: " + strerror(error);
}

// Closes what a refused command line opened; what it made goes again.
void giveUp(std::vector<PlatformRecordFile> *files) {
  for (PlatformRecordFile &file : *files) {
    Platform_CloseRecordFile(&file, 1);
  }
}

}  // namespace

BOOL RecordFiles_Open(const RecordFileRequest *requests, size_t count, std::string *reason) {
  sFailed.clear();
  std::vector<PlatformRecordFile> files(count);
  std::vector<const RecordFileRequest *> opened(count, nullptr);
  for (size_t k = 0; k < count; k++) {
    files[k].fd = -1;
  }
  for (size_t k = 0; k < count; k++) {
    const RecordFileRequest &request = requests[k];
    if (request.path.empty()) {
      continue;
    }
    if (!Platform_OpenRecordFile(request.path.c_str(), &files[k])) {
      *reason = cannotBeWritten(request, errno);
      giveUp(&files);
      return 0;
    }
    // Compared before the hold: a second open of a file this run holds
    // would find it held, as if by another run.
    for (size_t j = 0; j < k; j++) {
      if (opened[j] != nullptr && sameFile(files[j], files[k])) {
        *reason = std::string(opened[j]->option) + " " + printableText(opened[j]->path) + " and " +
                  request.option + " " + printableText(request.path) +
                  " name the same file; give each its own file";
        giveUp(&files);
        return 0;
      }
    }
    const int held = Platform_HoldRecordFile(&files[k]);
    if (held <= 0) {
      *reason = held == 0
                    ? std::string(request.option) + ": " + printableText(request.path) +
                          " is being written by another run; give each run its own " + request.noun
                    : cannotBeWritten(request, errno);
      giveUp(&files);
      return 0;
    }
    opened[k] = &request;
  }
  for (size_t k = 0; k < count; k++) {
    if (opened[k] != nullptr && requests[k].madeAnew && !Platform_EmptyRecordFile(&files[k])) {
      *reason = cannotBeWritten(requests[k], errno);
      giveUp(&files);
      return 0;
    }
  }
  for (size_t k = 0; k < count; k++) {
    if (opened[k] != nullptr) {
      requests[k].attach(&files[k], requests[k].path.c_str());
    }
  }
  return 1;
}

void RecordFiles_WriteFailed(const char *name, const char *path, int error) {
  // Shown escaped: a file name is the operator's text, not the terminal's.
  sFailed.push_back({name, printableText(path), false});
  Console_Error("WARNING: the %s %s cannot be written: %s; the run goes on without it", name,
                sFailed.back().path.c_str(), strerror(error));
}

void RecordFiles_ReportIncomplete(void) {
  for (FailedRecord &record : sFailed) {
    if (!record.told) {
      record.told = true;
      Console_Error("WARNING: the %s %s is incomplete: it ends where its writing failed",
                    record.name.c_str(), record.path.c_str());
    }
  }
}
