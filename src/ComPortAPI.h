// The one serial port of the tool: open, configure, read, write, and the
// three settings that change while the tool runs. Every setting is kept in a
// master record and pushed to the open port, so a port opened later always
// gets the latest settings.
#ifndef COMPORTAPI_H
#define COMPORTAPI_H

#include "platform/Win32Types.h"

#define RX_SIZE 8192
#define TX_SIZE 8192
#define MAX_WAIT_READ 500
#define BAUD_RATE 9600
// Longest a write may take before it fails, in milliseconds. It reaches the
// port in the write time-outs; the master record g_cto keeps its own values.
#define WRITE_TIMEOUT_MS 60000

extern HANDLE g_hCOM;
extern DCB g_dcb;
extern COMMTIMEOUTS g_cto;

BOOL ComPortAPI_OpenCOM(int nId);
// Whether port nId exists and is free: the bare open of the port, closed
// again at once, with nothing configured or sent and nothing printed. The
// handle passes through g_hCOM; no port is open after it. Refused (0) while
// a port is open.
BOOL ComPortAPI_ProbeCOM(int nId);
BOOL ComPortAPI_CloseCOM(void);
BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead);
BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten);
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs);
BOOL ComPortAPI_SetBaudRate(int baudrate);
BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable);

#endif
