#include "ComPortAPI.h"

#include <stdio.h>
#include <string.h>

#include "Console.h"
#include "PortNames.h"
#include "WireTrace.h"
#include "platform/Platform.h"
#include "platform/PortName.h"

HANDLE g_hCOM = nullptr;

// Time-outs every port gets at open: a read ends when its count has arrived
// or T ms after it began (T in both read fields, no multiplier). The record's
// write fields stay 0; the port gets its write bound from applyTimeouts().
static COMMTIMEOUTS initialTimeouts(void) {
  COMMTIMEOUTS cto;
  memset(&cto, 0, sizeof cto);
  cto.ReadIntervalTimeout = MAX_WAIT_READ;
  cto.ReadTotalTimeoutMultiplier = 0;
  cto.ReadTotalTimeoutConstant = MAX_WAIT_READ;
  cto.WriteTotalTimeoutMultiplier = 0;
  cto.WriteTotalTimeoutConstant = 0;
  return cto;
}

// Line settings every port gets at open: 9600 baud 8N1, binary, DTR and RTS
// raised, CTS output flow control as the only flow control that can be on.
static DCB initialLineSettings(void) {
  DCB dcb;
  memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = BAUD_RATE;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = 0;
  dcb.wReserved = 0;
  dcb.XonLim = 256;
  dcb.XoffLim = 256;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x3F;
  dcb.EofChar = 0x1A;
  dcb.EvtChar = 0x10;
  dcb.wReserved1 = 0;
  return dcb;
}

DCB g_dcb = initialLineSettings();
COMMTIMEOUTS g_cto = initialTimeouts();

// g_hCOM keeps its value after a close, so whether a port is open is kept
// here.
static bool sPortOpen = false;

// The system's reason for a failure of the port, for whoever reads standard
// error; the operator's transcript on standard output stays as it is.
static void reportPortFailure(void) {
  const char *reason = Platform_LastErrorText();
  Console_Error("%s", reason[0] != '\0' ? reason : "the port failed for an unknown reason");
}

// Pushes g_cto to the open port with a write bound in place of "no write
// time-out". Without one, a unit that holds CTS low, a pulled cable on a
// three-wire lead or a unit that stops reading holds a write, and the tool,
// for ever. The bound is a total over one write (that is what Win32 offers):
// WRITE_TIMEOUT_MS and no per-byte part. That is sound because every write
// of the tool needs far less line time: at most 10240 image bytes at 115200
// baud (under a second) or one command line at the console rate, so only a
// write whose bytes have stopped moving can reach it. The master record
// itself keeps its write fields at 0, as callers know it.
static BOOL applyTimeouts(void) {
  COMMTIMEOUTS bounded = g_cto;
  if (bounded.WriteTotalTimeoutConstant == 0 && bounded.WriteTotalTimeoutMultiplier == 0) {
    bounded.WriteTotalTimeoutConstant = WRITE_TIMEOUT_MS;
  }
  return Platform_SetCommTimeouts(g_hCOM, &bounded);
}

// Whether nId names a port at all: a COM number, or one that stands for a
// device path given this run.
static bool portNumberKnown(int nId) {
  return portNumberInRange(nId) || PortNames_Path(nId) != nullptr;
}

// The system's open of port nId, exclusive, for reading and writing, of a
// port that must exist; nothing is configured yet. A port given by its path
// is opened by that path; the device it led to is kept for the records.
static HANDLE createPortHandle(int nId) {
  char szCOM[16];
  snprintf(szCOM, sizeof szCOM, "\\\\.\\COM%d", nId);
  const char *path = PortNames_Path(nId);
  const HANDLE h =
      Platform_CreateFileA(path != nullptr ? path : szCOM, GENERIC_READ | GENERIC_WRITE, 0,
                           OPEN_EXISTING, FILE_ATTRIBUTE_SYSTEM);
  if (path != nullptr && h != INVALID_HANDLE_VALUE) {
    PortNames_SetDevice(nId, Platform_OpenedPortDevice());
  }
  return h;
}

BOOL ComPortAPI_ProbeCOM(int nId) {
  if (sPortOpen) {
    // The open port's handle would be lost.
    return 0;
  }
  if (!portNumberKnown(nId)) {
    g_hCOM = INVALID_HANDLE_VALUE;
    return 0;
  }
  g_hCOM = createPortHandle(nId);
  if (g_hCOM == INVALID_HANDLE_VALUE) {
    return 0;
  }
  (void)Platform_CloseHandle(g_hCOM);
  return 1;
}

BOOL ComPortAPI_OpenCOM(int nId) {
  if (!portNumberKnown(nId)) {
    // The platform layers read a name by the same rule: no number they would
    // refuse as a name is handed to the system.
    g_hCOM = INVALID_HANDLE_VALUE;
    Console_Printf("ERROR: Opening COM%d failed !", nId);
    if (nId < 1) {
      Console_Error("COM%d: no such port (ports are numbered from 1)", nId);
    } else {
      Console_Error("COM%d: no such port (ports are numbered up to %d)", nId, PORT_NUMBER_MAX);
    }
    return 0;
  }
  const std::string name = PortNames_Text(nId);
  g_hCOM = createPortHandle(nId);
  if (g_hCOM == INVALID_HANDLE_VALUE) {
    WireTrace_PortOpenFailed(nId, g_dcb.BaudRate);
    Console_Printf("ERROR: Opening %s failed !", name.c_str());
    reportPortFailure();
    return 0;
  }
  (void)Platform_SetupComm(g_hCOM, RX_SIZE, TX_SIZE);
  BOOL configured = applyTimeouts();
  if (configured) {
    configured = Platform_SetCommState(g_hCOM, &g_dcb);
  }
  if (!configured) {
    WireTrace_PortOpenFailed(nId, g_dcb.BaudRate);
    Console_Printf("ERROR: %s configuration failed !", name.c_str());
    reportPortFailure();
    (void)Platform_CloseHandle(g_hCOM);
    return 0;
  }
  (void)Platform_PurgeComm(g_hCOM, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  (void)Platform_EscapeCommFunction(g_hCOM, SETDTR);
  sPortOpen = true;
  WireTrace_PortOpened(nId, g_dcb.BaudRate, g_cto.ReadTotalTimeoutConstant, g_dcb.fOutxCtsFlow);
  return 1;
}

BOOL ComPortAPI_CloseCOM(void) {
  if (sPortOpen) {
    (void)Platform_CloseHandle(g_hCOM);
    sPortOpen = false;
    WireTrace_PortClosed(g_dcb.BaudRate);
  }
  return 1;
}

BOOL ComPortAPI_ReadCOM(void *buffer, int nBytesToRead, int *pBytesRead) {
  DWORD bytesRead = 0;
  BOOL result = 0;
  if (sPortOpen && nBytesToRead >= 0) {
    result = Platform_ReadFile(g_hCOM, buffer, static_cast<DWORD>(nBytesToRead), &bytesRead);
    WireTrace_Read(buffer, static_cast<int>(bytesRead), g_dcb.BaudRate,
                   g_cto.ReadTotalTimeoutConstant, result);
    if (!result) {
      reportPortFailure();
    }
  }
  *pBytesRead = static_cast<int>(bytesRead);
  return result ? 1 : 0;
}

BOOL ComPortAPI_WriteCOM(void *buffer, int nBytesToWrite, int *pBytesWritten) {
  DWORD bytesWritten = 0;
  BOOL result = 0;
  if (sPortOpen && nBytesToWrite >= 0) {
    result = Platform_WriteFile(g_hCOM, buffer, static_cast<DWORD>(nBytesToWrite), &bytesWritten);
    // What left the port: all of it, or what a failed write got out.
    WireTrace_Written(buffer,
                      static_cast<int>(result ? static_cast<DWORD>(nBytesToWrite) : bytesWritten),
                      g_dcb.BaudRate, result);
    if (!result) {
      reportPortFailure();
    }
  }
  *pBytesWritten = static_cast<int>(bytesWritten);
  return result ? 1 : 0;
}

// The platform's verdict on a setting applied to the open port.
static BOOL appliedOrReported(BOOL applied) {
  if (!applied) {
    reportPortFailure();
  }
  return applied ? 1 : 0;
}

// A setting applied to the open port, for the wire trace; its verdict.
static BOOL tracedSetting(BOOL applied, const char *setting, DWORD value) {
  char text[64];
  snprintf(text, sizeof text, setting, static_cast<unsigned long>(value));
  WireTrace_Setting(text, g_dcb.BaudRate, applied);
  return applied;
}

// The setters store first and then apply: a value set while no port is open
// takes effect at the next open.
BOOL ComPortAPI_SetReadingTimeoutInMs(int timeoutInMs) {
  const DWORD requested = static_cast<DWORD>(timeoutInMs);
  if (g_cto.ReadIntervalTimeout == requested) {
    return 1;
  }
  g_cto.ReadIntervalTimeout = requested;
  g_cto.ReadTotalTimeoutConstant = requested;
  if (!sPortOpen) {
    return 0;
  }
  return tracedSetting(appliedOrReported(applyTimeouts()), "read time-out %lu ms", requested);
}

BOOL ComPortAPI_SetBaudRate(int baudrate) {
  const DWORD requested = static_cast<DWORD>(baudrate);
  if (g_dcb.BaudRate == requested) {
    return 1;
  }
  g_dcb.BaudRate = requested;
  if (!sPortOpen) {
    return 0;
  }
  return tracedSetting(appliedOrReported(Platform_SetCommState(g_hCOM, &g_dcb)), "rate %lu",
                       requested);
}

BOOL ComPortAPI_SetHardwareFlowControl(BOOL isEnable) {
  const DWORD requested = static_cast<DWORD>(isEnable) & 1u;
  if (g_dcb.fOutxCtsFlow == requested) {
    return 1;
  }
  g_dcb.fOutxCtsFlow = requested;
  if (!sPortOpen) {
    return 0;
  }
  return tracedSetting(appliedOrReported(Platform_SetCommState(g_hCOM, &g_dcb)),
                       "CTS flow control %lu (1 on, 0 off)", requested);
}
