// The run log's own records (RunLog.h has the log itself): the run's
// heading, the unit as it was found, and the outcome with the exit code.
// Nothing is written when no log is open.
#ifndef RUNLOGRECORDS_H
#define RUNLOGRECORDS_H

void logRunStart(int argc, const char *const *argv);
void logUnitIdentity(void);
void logRunEnd(int exitCode, const char *outcome);
// The interrupt hook (Platform_SetInterruptHook) that ends the log's record.
void logInterruptedRun(const char *signalName, int exitCode);

#endif
