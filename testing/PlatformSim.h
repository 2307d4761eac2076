// Control of the in-process simulated platform (PlatformSim.cpp), for tests.
//
// Ports COM1..COM32 are absent unless a test adds them. A present port may
// hold a simulated unit (UnitModel); all time is virtual: reads and sleeps
// advance the clock instead of waiting, so the whole update, reboot wait
// included, runs in milliseconds. Any platform call can be made to fail.
#ifndef PLATFORMSIM_H
#define PLATFORMSIM_H

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/Win32Types.h"

class UnitModel;

// Back to the start: no ports, clock at 0, empty console, no input, no
// injected failures.
void Sim_Reset(void);

// Port n (1..32) exists. With a unit, what the host writes goes to it and
// what it sends comes back; without one, the port is silent.
void Sim_AddPort(int n, UnitModel *unit = nullptr);
// Port n exists but another program holds it: every open fails.
void Sim_HoldPort(int n);
// Port n refuses line settings (SetCommState fails) at rates other than
// those listed; an empty list accepts every rate.
void Sim_SetPortRates(int n, const std::vector<DWORD> &acceptedRates);

// Calls the hook the tool gave Platform_SetInterruptHook, as an interrupt
// would; false when there is none.
bool Sim_Interrupt(const char *signalName, int exitCode);

// The virtual clock in milliseconds.
uint64_t Sim_NowMs(void);
// Writes take line time (10 bits a byte at the port's rate) when on.
void Sim_SetPacedWrites(bool paced);

// The Nth call (1-based, counted from now) of the named platform operation
// fails: "CreateFileA", "SetCommTimeouts", "SetCommState", "ReadFile",
// "WriteFile", "PreparePorts", ... A write that fails takes no byte. The
// reason Platform_LastErrorText gives then names the port and the operation.
void Sim_FailCall(const char *operation, int nth);
// How often an operation has been called since Sim_Reset.
int Sim_CallCount(const char *operation);

// Everything written to the console since Sim_Reset.
const std::string &Sim_ConsoleText(void);
void Sim_ClearConsole(void);
// Operator input read by Platform_ConsoleReadInt (one number a line) and
// Platform_Getch; at its end both return at once (EOF).
void Sim_SetInput(const std::string &input);
int Sim_GetchCount(void);
// The exit code an interrupt would have ended the run with at the last key
// wait (Platform_SetInterruptExitCode); -1 when none was set by then.
int Sim_InterruptExitCodeAtGetch(void);
// Total of all Platform_Sleep waits, in milliseconds.
uint64_t Sim_SleptMs(void);

// One record of what the tool did to the line.
struct SimWireEvent {
  enum Kind { Open, Close, Write, Read, Config } kind;
  int port;
  uint64_t timeMs;
  DWORD baud;           // line rate in force
  DWORD readTimeoutMs;  // read time-out in force
  bool ctsFlow;         // CTS output flow control in force
  std::string bytes;    // Write: bytes written; Read: bytes returned
};
const std::vector<SimWireEvent> &Sim_WireLog(void);
// All bytes written to port n, in order.
std::string Sim_BytesWritten(int n);
// Whether port n is open now.
bool Sim_PortIsOpen(int n);
// The line settings most recently applied to port n.
DCB Sim_PortDcb(int n);
COMMTIMEOUTS Sim_PortTimeouts(int n);

#endif
