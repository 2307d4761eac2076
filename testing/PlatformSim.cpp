// Simulated platform: ports, a scripted unit and a virtual clock in the same
// process. Nothing here waits: a read moves the clock to the unit's next
// byte or to the end of its time-out, a sleep moves it by its length.
#include "PlatformSim.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "platform/OperatorNumber.h"
#include "platform/Platform.h"
#include "platform/PortName.h"
#include "UnitModel.h"

namespace {

const int kFirstPort = 1;
const int kLastPort = 32;

struct SimPort {
  bool present = false;
  bool held = false;
  bool open = false;
  UnitModel *unit = nullptr;
  std::vector<DWORD> acceptedRates;
  DCB dcb{};
  COMMTIMEOUTS cto{};
  bool stateApplied = false;
  std::string inQueue;
};

struct SimHandle {
  int port;
};

struct SimState {
  SimPort ports[kLastPort + 1];
  uint64_t nowMs = 0;
  bool pacedWrites = false;
  std::string console;
  std::string input;
  size_t inputPos = 0;
  int getchCount = 0;
  int interruptExitCode = -1;
  int interruptExitCodeAtGetch = -1;
  uint64_t sleptMs = 0;
  std::map<std::string, int> callCounts;
  std::map<std::string, std::set<int>> failAt;
  std::vector<SimWireEvent> wireLog;
  std::set<SimHandle *> handles;
  std::string lastError;
  void (*interruptHook)(const char *, int) = nullptr;
};

SimState &state() {
  static SimState s;
  return s;
}

// Counts a call of the operation and tells whether a test asked it to fail.
bool callFails(const char *operation) {
  SimState &s = state();
  const int count = ++s.callCounts[operation];
  auto it = s.failAt.find(operation);
  return it != s.failAt.end() && it->second.count(count) != 0;
}

// Keeps the reason of a failure for Platform_LastErrorText; returns FALSE.
BOOL failWith(const std::string &port, const std::string &reason) {
  state().lastError = port + ": " + reason;
  return FALSE;
}

std::string injected(const char *operation) {
  return std::string(operation) + " failed (injected)";
}

SimPort *portOf(HANDLE h) {
  auto *handle = static_cast<SimHandle *>(h);
  if (h == nullptr || h == INVALID_HANDLE_VALUE || state().handles.count(handle) == 0) {
    return nullptr;
  }
  return &state().ports[handle->port];
}

int portNumberOf(HANDLE h) { return static_cast<SimHandle *>(h)->port; }

std::string nameOf(HANDLE h) {
  return portOf(h) != nullptr ? "COM" + std::to_string(portNumberOf(h)) : "no port";
}

void logEvent(SimWireEvent::Kind kind, int port, const std::string &bytes) {
  SimState &s = state();
  const SimPort &p = s.ports[port];
  SimWireEvent event;
  event.kind = kind;
  event.port = port;
  event.timeMs = s.nowMs;
  event.baud = p.dcb.BaudRate;
  event.readTimeoutMs = p.cto.ReadTotalTimeoutConstant;
  event.ctsFlow = p.dcb.fOutxCtsFlow != 0;
  event.bytes = bytes;
  s.wireLog.push_back(event);
}

// Moves what the unit has sent by now into the port's input queue.
void pump(SimPort &p) {
  if (p.unit != nullptr) {
    p.unit->takeOutput(state().nowMs, static_cast<int>(p.dcb.BaudRate), p.inQueue);
  }
}

}  // namespace

/*---------------------------------------------------------------------------
 * Test control
 *-------------------------------------------------------------------------*/

void Sim_Reset(void) {
  SimState &s = state();
  for (SimHandle *h : s.handles) {
    delete h;
  }
  s = SimState();
}

void Sim_AddPort(int n, UnitModel *unit) {
  SimPort &p = state().ports[n];
  p.present = true;
  p.held = false;
  p.unit = unit;
}

void Sim_HoldPort(int n) {
  SimPort &p = state().ports[n];
  p.present = true;
  p.held = true;
}

void Sim_SetPortRates(int n, const std::vector<DWORD> &acceptedRates) {
  state().ports[n].acceptedRates = acceptedRates;
}

uint64_t Sim_NowMs(void) { return state().nowMs; }

void Sim_SetPacedWrites(bool paced) { state().pacedWrites = paced; }

void Sim_FailCall(const char *operation, int nth) {
  SimState &s = state();
  s.failAt[operation].insert(s.callCounts[operation] + nth);
}

int Sim_CallCount(const char *operation) {
  auto it = state().callCounts.find(operation);
  return it == state().callCounts.end() ? 0 : it->second;
}

const std::string &Sim_ConsoleText(void) { return state().console; }

void Sim_ClearConsole(void) { state().console.clear(); }

void Sim_SetInput(const std::string &input) {
  state().input = input;
  state().inputPos = 0;
}

int Sim_GetchCount(void) { return state().getchCount; }

int Sim_InterruptExitCodeAtGetch(void) { return state().interruptExitCodeAtGetch; }

uint64_t Sim_SleptMs(void) { return state().sleptMs; }

const std::vector<SimWireEvent> &Sim_WireLog(void) { return state().wireLog; }

std::string Sim_BytesWritten(int n) {
  std::string all;
  for (const SimWireEvent &e : state().wireLog) {
    if (e.kind == SimWireEvent::Write && e.port == n) {
      all += e.bytes;
    }
  }
  return all;
}

bool Sim_PortIsOpen(int n) { return state().ports[n].open; }

DCB Sim_PortDcb(int n) { return state().ports[n].dcb; }

COMMTIMEOUTS Sim_PortTimeouts(int n) { return state().ports[n].cto; }

/*---------------------------------------------------------------------------
 * Platform operations
 *-------------------------------------------------------------------------*/

HANDLE Platform_CreateFileA(const char *deviceName, DWORD desiredAccess, DWORD shareMode,
                            DWORD creationDisposition, DWORD flagsAndAttributes) {
  const std::string name = strncmp(deviceName, "\\\\.\\", 4) == 0 ? deviceName + 4 : deviceName;
  if (callFails("CreateFileA")) {
    failWith(name, injected("CreateFileA"));
    return INVALID_HANDLE_VALUE;
  }
  const int n = portNumberFromName(deviceName);
  // Only an exclusive, read-write open of an existing port is modelled.
  if (n < kFirstPort || n > kLastPort || desiredAccess != (GENERIC_READ | GENERIC_WRITE) ||
      shareMode != 0 || creationDisposition != OPEN_EXISTING ||
      flagsAndAttributes != FILE_ATTRIBUTE_SYSTEM) {
    failWith(name, "no such port");
    return INVALID_HANDLE_VALUE;
  }
  SimPort &p = state().ports[n];
  if (!p.present || p.held || p.open || (p.unit != nullptr && p.unit->vanished())) {
    failWith(name, p.held || p.open ? "held by another program" : "no such port");
    return INVALID_HANDLE_VALUE;
  }
  p.open = true;
  p.stateApplied = false;
  p.inQueue.clear();
  if (p.unit != nullptr) {
    p.unit->hostOpened(state().nowMs);
  }
  auto *handle = new SimHandle{n};
  state().handles.insert(handle);
  logEvent(SimWireEvent::Open, n, "");
  return handle;
}

BOOL Platform_SetupComm(HANDLE hCom, DWORD, DWORD) {
  if (callFails("SetupComm")) {
    return failWith(nameOf(hCom), injected("SetupComm"));
  }
  return portOf(hCom) != nullptr;
}

BOOL Platform_SetCommTimeouts(HANDLE hCom, const COMMTIMEOUTS *timeouts) {
  if (callFails("SetCommTimeouts")) {
    return failWith(nameOf(hCom), injected("SetCommTimeouts"));
  }
  SimPort *p = portOf(hCom);
  if (p == nullptr) {
    return FALSE;
  }
  p->cto = *timeouts;
  logEvent(SimWireEvent::Config, portNumberOf(hCom), "");
  return TRUE;
}

BOOL Platform_SetCommState(HANDLE hCom, const DCB *dcb) {
  if (callFails("SetCommState")) {
    return failWith(nameOf(hCom), injected("SetCommState"));
  }
  SimPort *p = portOf(hCom);
  if (p == nullptr) {
    return failWith(nameOf(hCom), "not open");
  }
  if (dcb->BaudRate == 0 || dcb->BaudRate > 4000000 ||
      (!p->acceptedRates.empty() && std::find(p->acceptedRates.begin(), p->acceptedRates.end(),
                                              dcb->BaudRate) == p->acceptedRates.end())) {
    return failWith(nameOf(hCom), std::to_string(dcb->BaudRate) + " baud refused");
  }
  pump(*p);  // what arrived so far arrived at the old rate
  p->dcb = *dcb;
  p->stateApplied = true;
  logEvent(SimWireEvent::Config, portNumberOf(hCom), "");
  return TRUE;
}

BOOL Platform_PurgeComm(HANDLE hCom, DWORD flags) {
  if (callFails("PurgeComm")) {
    return failWith(nameOf(hCom), injected("PurgeComm"));
  }
  SimPort *p = portOf(hCom);
  if (p == nullptr) {
    return FALSE;
  }
  if (flags & PURGE_RXCLEAR) {
    pump(*p);
    p->inQueue.clear();
  }
  return TRUE;
}

BOOL Platform_EscapeCommFunction(HANDLE hCom, DWORD) {
  if (callFails("EscapeCommFunction")) {
    return failWith(nameOf(hCom), injected("EscapeCommFunction"));
  }
  return portOf(hCom) != nullptr;
}

BOOL Platform_ReadFile(HANDLE hCom, void *buffer, DWORD bytesToRead, DWORD *bytesRead) {
  *bytesRead = 0;
  if (callFails("ReadFile")) {
    return failWith(nameOf(hCom), injected("ReadFile"));
  }
  SimPort *p = portOf(hCom);
  if (p == nullptr || (p->unit != nullptr && p->unit->vanished())) {
    return failWith(nameOf(hCom), "read: the line has gone");
  }
  SimState &s = state();
  // The read ends when its count has arrived or T ms after it began.
  const uint64_t deadline = s.nowMs + p->cto.ReadTotalTimeoutConstant +
                            static_cast<uint64_t>(p->cto.ReadTotalTimeoutMultiplier) * bytesToRead;
  for (;;) {
    pump(*p);
    if (p->inQueue.size() >= bytesToRead) {
      break;
    }
    const uint64_t next = p->unit != nullptr ? p->unit->nextOutputTime() : UINT64_MAX;
    if (next > deadline) {
      s.nowMs = deadline;
      pump(*p);
      break;
    }
    s.nowMs = std::max(s.nowMs, next);
  }
  const size_t taken = std::min<size_t>(bytesToRead, p->inQueue.size());
  memcpy(buffer, p->inQueue.data(), taken);
  const std::string bytes = p->inQueue.substr(0, taken);
  p->inQueue.erase(0, taken);
  *bytesRead = static_cast<DWORD>(taken);
  logEvent(SimWireEvent::Read, portNumberOf(hCom), bytes);
  return TRUE;
}

BOOL Platform_WriteFile(HANDLE hCom, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten) {
  *bytesWritten = 0;
  if (callFails("WriteFile")) {
    return failWith(nameOf(hCom), injected("WriteFile"));
  }
  SimPort *p = portOf(hCom);
  if (p == nullptr || (p->unit != nullptr && p->unit->vanished())) {
    return failWith(nameOf(hCom), "write: the line has gone");
  }
  SimState &s = state();
  if (p->unit != nullptr && !p->unit->listening()) {
    // Nothing leaves the port: the write waits out its time-out and fails.
    const uint64_t limit = p->cto.WriteTotalTimeoutConstant +
                           static_cast<uint64_t>(p->cto.WriteTotalTimeoutMultiplier) * bytesToWrite;
    if (limit == 0) {
      fprintf(stderr, "simulated platform: a write to COM%d would wait for ever\n",
              portNumberOf(hCom));
      abort();
    }
    s.nowMs += limit;
    return FALSE;
  }
  if (s.pacedWrites && p->dcb.BaudRate != 0) {
    s.nowMs += lineTimeMs(bytesToWrite, p->dcb.BaudRate);
  }
  const auto *bytes = static_cast<const uint8_t *>(buffer);
  if (p->unit != nullptr) {
    p->unit->hostWrote(bytes, bytesToWrite, static_cast<int>(p->dcb.BaudRate), s.nowMs);
  }
  *bytesWritten = bytesToWrite;
  logEvent(SimWireEvent::Write, portNumberOf(hCom),
           std::string(reinterpret_cast<const char *>(bytes), bytesToWrite));
  return TRUE;
}

BOOL Platform_CloseHandle(HANDLE hCom) {
  const bool failed = callFails("CloseHandle");
  SimPort *p = portOf(hCom);
  if (p == nullptr) {
    return failWith(nameOf(hCom), "not open");
  }
  const int n = portNumberOf(hCom);
  if (failed) {
    failWith(nameOf(hCom), injected("CloseHandle"));
  }
  p->open = false;
  p->inQueue.clear();
  state().handles.erase(static_cast<SimHandle *>(hCom));
  delete static_cast<SimHandle *>(hCom);
  logEvent(SimWireEvent::Close, n, "");
  return failed ? FALSE : TRUE;
}

BOOL Platform_PreparePorts(BOOL) {
  if (callFails("PreparePorts")) {
    return failWith("port map", injected("PreparePorts"));
  }
  return TRUE;
}

BOOL Platform_PortDevice(int number, char *device, size_t size) {
  if (number < kFirstPort || number > kLastPort || !state().ports[number].present || size == 0) {
    return FALSE;
  }
  snprintf(device, size, "sim:COM%d", number);
  return TRUE;
}

// The simulated ports have COM names only.
const char *Platform_OpenedPortDevice(void) { return ""; }

int Platform_ListPorts(PlatformPortInfo *ports, int capacity) {
  if (callFails("ListPorts")) {
    failWith("port list", injected("ListPorts"));
    return -1;
  }
  int found = 0;
  for (int n = kFirstPort; n <= kLastPort; n++) {
    const SimPort &p = state().ports[n];
    if (!p.present) {
      continue;
    }
    if (found < capacity) {
      PlatformPortInfo &info = ports[found];
      memset(&info, 0, sizeof info);
      info.number = n;
      snprintf(info.device, sizeof info.device, "%s",
               p.unit != nullptr ? "simulated unit" : "silent line");
      info.held = p.held || p.open ? TRUE : FALSE;
      snprintf(info.note, sizeof info.note, "%s",
               info.held ? "held by another program"
                         : (p.unit != nullptr && p.unit->vanished() ? "no such port" : ""));
    }
    found++;
  }
  return found;
}

const char *Platform_LastErrorText(void) { return state().lastError.c_str(); }

void Platform_Sleep(DWORD milliseconds) {
  state().nowMs += milliseconds;
  state().sleptMs += milliseconds;
}

uint64_t Platform_GetTickCount64(void) { return state().nowMs; }

void Platform_ConsoleInit(void) {}

void Platform_SetInterruptHook(void (*hook)(const char *signalName, int exitCode)) {
  state().interruptHook = hook;
}

bool Sim_Interrupt(const char *signalName, int exitCode) {
  if (state().interruptHook == nullptr) {
    return false;
  }
  state().interruptHook(signalName, exitCode);
  return true;
}

void Platform_ConsoleWrite(const char *text, size_t length) {
  state().console.append(text, length);
}

int Platform_ConsoleReadInt(int *value) {
  SimState &s = state();
  if (s.inputPos >= s.input.size()) {
    return EOF;
  }
  const size_t lineEnd = s.input.find('\n', s.inputPos);
  const size_t next = lineEnd == std::string::npos ? s.input.size() : lineEnd + 1;
  const std::string line = s.input.substr(s.inputPos, next - s.inputPos);
  s.inputPos = next;
  return parseOperatorNumber(line.c_str(), value);
}

int Platform_Getch(void) {
  SimState &s = state();
  s.getchCount++;
  s.interruptExitCodeAtGetch = s.interruptExitCode;
  if (s.inputPos < s.input.size()) {
    return static_cast<unsigned char>(s.input[s.inputPos++]);
  }
  return EOF;
}

void Platform_SetInterruptExitCode(int exitCode) { state().interruptExitCode = exitCode; }

// No child runs on the simulated platform: a station started here can't
// start its units and says so, which is all the in-process tests ask of it.
BOOL Platform_OwnExecutable(char *, size_t) { return 0; }
PlatformProcess *Platform_StartProcess(const char *const *, const char *) { return nullptr; }
int Platform_WaitForOutput(PlatformProcess *const *, int, DWORD) { return -1; }
long Platform_ReadOutput(PlatformProcess *, char *, size_t) { return 0; }
void Platform_StopProcess(PlatformProcess *) {}
int Platform_EndProcess(PlatformProcess *) { return 255; }
void Platform_CatchInterrupts(void) {}
int Platform_InterruptCaught(void) { return 0; }
const char *Platform_InterruptName(void) { return ""; }
BOOL Platform_OutputIsTerminal(void) { return 0; }
BOOL Platform_MakePrivateFolder(char *, size_t) { return 0; }
void Platform_RemoveFolder(const char *) {}
