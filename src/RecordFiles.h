// The files a run leaves for production and support (the run log, the wire
// trace): opened as one set before any port is touched, and watched while
// the run writes them. The rules are the same for each:
//
// - Two names that lead to one file (another spelling, a path from the
//   root, a link, a hard link) are refused: one record would write over
//   the other, and a record made anew would empty it first.
// - A file that another run is writing is refused: the two runs would
//   splice their lines into each other. Each file is held for as long as
//   the run runs.
// - Nothing is emptied until every file is open and held; a refused command
//   line removes only the files that it made, never a link.
// - A write that fails (a full disk) is told once on standard error and the
//   run goes on; after its result, a second line says the record is
//   incomplete.
#ifndef RECORDFILES_H
#define RECORDFILES_H

#include <stddef.h>

#include <string>

#include "platform/Platform.h"

// One record file a run may be asked for.
typedef struct RecordFileRequest {
  const char *option;  // the option that names it: "--log"
  const char *name;    // what it is, in the warnings: "run log"
  const char *noun;    // in the refusal of a file another run holds: "log"
  std::string path;    // "" when the option was not given
  BOOL madeAnew;       // emptied by each run (a trace), or added to (a log)
  // Hands the open, held file to the module that writes it, which closes it.
  void (*attach)(const PlatformRecordFile *file, const char *path);
} RecordFileRequest;

// Opens, holds and hands over every record asked for, or none: 0 with the
// reason in *reason, in the words of a refused command line, and nothing
// left open or made.
BOOL RecordFiles_Open(const RecordFileRequest *requests, size_t count, std::string *reason);

// A writer's first failed write (errno `error`): one warning on standard
// error, after which the writer writes no more.
void RecordFiles_WriteFailed(const char *name, const char *path, int error);
// After the run's result: one line for each record that a failed write left
// incomplete and that has not been told yet.
void RecordFiles_ReportIncomplete(void);

#endif
