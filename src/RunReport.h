// The run's report (--report FILE): the run record as one JSON document,
// written whole at the end of the run in place of FILE, so that a factory
// system reading FILE sees either the earlier document or the new one, never
// part of one. docs/report.schema.json describes the document.
//
// Text that comes from outside (the unit's replies, the command line) is
// written as JSON strings: valid UTF-8 as it is, any other byte as the
// character of its value (U+0080 to U+00FF), and every character outside
// printable ASCII as a \u escape, so that the file is plain ASCII.
#ifndef RUNREPORT_H
#define RUNREPORT_H

#include <string>

#include "RunRecord.h"
#include "platform/Win32Types.h"

// Makes ready to write the report to `path` before any port is touched: 0
// with the reason when it can't be written there (a folder that is not
// there or is read-only, a directory of that name). Nothing is written yet.
// From then on the record's changes keep an "interrupted" document ready.
BOOL RunReport_Open(const char *path, std::string *reason);
BOOL RunReport_IsOpen(void);
// The name given to RunReport_Open; "" when none is open.
const char *RunReport_Path(void);
// Writes the document of gRunRecord in place of the file. 0 with the
// system's reason when it could not; the earlier file is then as it was.
BOOL RunReport_Write(std::string *reason);
// Forgets the report; nothing is written.
void RunReport_Close(void);

// The document of a record, as written.
std::string RunReport_Document(const RunRecord &record);

// The interrupt hook's part (Platform_SetInterruptHook): writes the
// document kept ready, with the result "interrupted", the signal and the
// exit code, unless the run's own document is written already. Async-signal-
// safe calls only.
void RunReport_WriteInterrupted(const char *signalName, int exitCode);

#endif
