// The run log's own records (RunLog.h has the log itself): the run's
// heading, the unit as it was found and as it reports itself after the
// update, and the outcome with the exit code, all read from the run record
// (RunRecord.h). Nothing is written when no log is open.
#ifndef RUNLOGRECORDS_H
#define RUNLOGRECORDS_H

void logRunStart(void);
void logUnitIdentity(void);
void logUnitAfter(void);
void logRunEnd(int exitCode, const char *outcome);
// The interrupt hook (Platform_SetInterruptHook) that ends the log's record.
void logInterruptedRun(const char *signalName, int exitCode);

#endif
