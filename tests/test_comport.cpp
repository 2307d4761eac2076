// The serial link on the simulated platform: what reaches the port at open,
// the setters' store-then-apply rule, failures and read time-outs.
#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"
#include "platform/PortName.h"

namespace {

using ComPortTest = SimTest;

TEST_F(ComPortTest, OpenAppliesTheLineSettingsAndTimeoutsOfTheRecords) {
  Sim_AddPort(3);
  ASSERT_EQ(ComPortAPI_OpenCOM(3), 1);
  EXPECT_TRUE(Sim_PortIsOpen(3));
  // 9600 baud 8N1, binary, DTR and RTS raised, CTS output flow control
  // and no other; a read ends 500 ms after it began, a write that is not
  // done 60 s after it began fails, while the record keeps its write fields
  // at 0.
  const DCB d = Sim_PortDcb(3);
  EXPECT_EQ((std::vector<DWORD>{d.DCBlength, d.BaudRate, d.ByteSize, d.Parity, d.StopBits,
                                d.fBinary, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fOutX, d.fInX,
                                d.fDtrControl, d.fRtsControl, d.fParity, d.fNull}),
            (std::vector<DWORD>{sizeof(DCB), 9600, 8, NOPARITY, ONESTOPBIT, 1, 1, 0, 0, 0,
                                DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 0}));
  const COMMTIMEOUTS c = Sim_PortTimeouts(3);
  EXPECT_EQ((std::vector<DWORD>{c.ReadIntervalTimeout, c.ReadTotalTimeoutConstant,
                                c.ReadTotalTimeoutMultiplier, c.WriteTotalTimeoutConstant,
                                c.WriteTotalTimeoutMultiplier}),
            (std::vector<DWORD>{500, 500, 0, 60000, 0}));
  EXPECT_EQ(g_cto.WriteTotalTimeoutConstant + g_cto.WriteTotalTimeoutMultiplier, 0u);
  // Both queues purged and DTR raised once configured.
  EXPECT_EQ(Sim_CallCount("PurgeComm"), 1);
  EXPECT_EQ(Sim_CallCount("EscapeCommFunction"), 1);
  EXPECT_EQ(console(), "");
}

TEST_F(ComPortTest, SettersCalledWhileClosedStoreAndTheNextOpenApplies) {
  Sim_AddPort(12);
  EXPECT_EQ(ComPortAPI_SetBaudRate(115200), 0);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 0);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(2), 0) << "only the lowest bit counts";
  EXPECT_EQ(Sim_CallCount("SetCommState"), 0);
  EXPECT_EQ(g_dcb.BaudRate, 115200u);
  ASSERT_EQ(ComPortAPI_OpenCOM(12), 1);
  EXPECT_EQ(Sim_PortDcb(12).BaudRate, 115200u);
  EXPECT_EQ(Sim_PortDcb(12).fOutxCtsFlow, 0u);
  EXPECT_EQ(Sim_PortTimeouts(12).ReadIntervalTimeout, 1000u);
  EXPECT_EQ(Sim_PortTimeouts(12).ReadTotalTimeoutConstant, 1000u);
  // Asking for the stored value succeeds, open or not, and changes nothing.
  const int calls = Sim_CallCount("SetCommState") + Sim_CallCount("SetCommTimeouts");
  for (int round = 0; round < 2; round++) {
    EXPECT_EQ(ComPortAPI_SetBaudRate(115200), 1);
    EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 1);
    EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(0), 1);
    ComPortAPI_CloseCOM();
  }
  EXPECT_EQ(Sim_CallCount("SetCommState") + Sim_CallCount("SetCommTimeouts"), calls);
}

TEST_F(ComPortTest, SettersApplyToTheOpenPortAndReportItsVerdict) {
  Sim_AddPort(2);
  Sim_SetPortRates(2, {9600, 57600, 115200});
  ASSERT_EQ(ComPortAPI_OpenCOM(2), 1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 1);
  EXPECT_EQ(Sim_PortDcb(2).BaudRate, 57600u);
  // A rate the driver refuses: 0, but the value stays stored.
  EXPECT_EQ(ComPortAPI_SetBaudRate(12345), 0);
  EXPECT_EQ(g_dcb.BaudRate, 12345u);
  EXPECT_EQ(Sim_PortDcb(2).BaudRate, 57600u);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(0), 0) << "whole record holds the refused rate";
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(10000), 1);
  EXPECT_EQ(Sim_PortTimeouts(2).ReadTotalTimeoutConstant, 10000u);
  EXPECT_EQ(Sim_PortTimeouts(2).WriteTotalTimeoutConstant, 60000u) << "the write bound stays";
  EXPECT_EQ(console(), "") << "setters print nothing";
}

// The operator's transcript keeps the port module's texts; the reason goes
// to standard error, one line.
struct OpenFailure {
  const char *name;
  void (*arrange)();
  const char *expected;
  int setCommStateCalls;
  const char *reason;
};

const OpenFailure kOpenFailures[] = {
    {"absent", [] {}, "ERROR: Opening COM5 failed !", 0, "COM5: no such port"},
    {"held by another program", [] { Sim_HoldPort(5); }, "ERROR: Opening COM5 failed !", 0,
     "COM5: held by another program"},
    {"open refused",
     [] {
       Sim_AddPort(5);
       Sim_FailCall("CreateFileA", 1);
     },
     "ERROR: Opening COM5 failed !", 0, "COM5: CreateFileA failed (injected)"},
    {"rate refused",
     [] {
       Sim_AddPort(5);
       Sim_SetPortRates(5, {115200});
     },
     "ERROR: COM5 configuration failed !", 1, "COM5: 9600 baud refused"},
    {"time-outs refused",
     [] {
       Sim_AddPort(5);
       Sim_FailCall("SetCommTimeouts", 1);
     },
     "ERROR: COM5 configuration failed !", 0, "COM5: SetCommTimeouts failed (injected)"},
};

class ComPortOpenFailureTest : public SimTest, public testing::WithParamInterface<OpenFailure> {};

// What the test log shows of a case.
void PrintTo(const OpenFailure &c, std::ostream *os) { *os << c.name; }

TEST_P(ComPortOpenFailureTest, PrintsItsTextAndLeavesNoPortOpen) {
  const OpenFailure &c = GetParam();
  c.arrange();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ComPortAPI_OpenCOM(5), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string(c.reason) + "\n");
  EXPECT_EQ(console(), c.expected);
  EXPECT_FALSE(Sim_PortIsOpen(5) || serialLinkHeldAPort());
  EXPECT_EQ(Sim_CallCount("SetCommState"), c.setCommStateCalls);
  EXPECT_EQ(g_dcb.BaudRate, 9600u);
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortOpenFailureTest, testing::ValuesIn(kOpenFailures),
                         NameOfCase());

// Detection's probe: the bare open of a port, closed again at once, with
// nothing configured, sent or printed, and no port open after it.
struct Probe {
  const char *name;
  void (*arrange)();
  int port;
  BOOL found;
  int opens;
  int closes;
};

const Probe kProbes[] = {
    {"present and free", [] { Sim_AddPort(4); }, 4, 1, 1, 1},
    {"absent", [] {}, 4, 0, 1, 0},
    {"held by another program", [] { Sim_HoldPort(4); }, 4, 0, 1, 0},
    {"not a port number", [] { Sim_AddPort(4); }, 0, 0, 0, 0},
};

class ComPortProbeTest : public SimTest, public testing::WithParamInterface<Probe> {};

// What the test log shows of a case.
void PrintTo(const Probe &c, std::ostream *os) { *os << c.name; }

TEST_P(ComPortProbeTest, OnlyOpensAndClosesThePort) {
  const Probe &c = GetParam();
  c.arrange();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ComPortAPI_ProbeCOM(c.port), c.found);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Sim_CallCount("CreateFileA"), c.opens);
  EXPECT_EQ(Sim_CallCount("CloseHandle"), c.closes);
  EXPECT_EQ(Sim_CallCount("SetupComm") + Sim_CallCount("SetCommState"), 0);
  EXPECT_FALSE(Sim_PortIsOpen(4));
  EXPECT_EQ(console(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, ComPortProbeTest, testing::ValuesIn(kProbes), NameOfCase());

// While the link holds a port, a probe would lose its handle: refused, and
// the port stays the link's.
TEST_F(ComPortTest, AProbeWhileAPortIsHeldIsRefused) {
  Sim_AddPort(4);
  Sim_AddPort(6);
  ASSERT_EQ(ComPortAPI_OpenCOM(6), 1);
  EXPECT_EQ(ComPortAPI_ProbeCOM(4), 0);
  EXPECT_EQ(Sim_CallCount("CreateFileA"), 1);
  char byte = 'x';
  int count = 0;
  EXPECT_EQ(ComPortAPI_WriteCOM(&byte, 1, &count), 1);
  EXPECT_EQ(Sim_BytesWritten(6), "x");
}

TEST_F(ComPortTest, FailedReadsWritesAndClosesOfTheOpenPort) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  char buffer[4] = {'a', 'b', 'c', 'd'};
  int count = -1;
  testing::internal::CaptureStderr();
  Sim_FailCall("WriteFile", 1);
  EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 4, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 4, &count), 1);
  EXPECT_EQ(count, 4);
  Sim_FailCall("ReadFile", 1);
  EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 4, &count), 0);
  EXPECT_EQ(count, 0);
  Sim_FailCall("SetCommState", 1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(57600), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "COM1: WriteFile failed (injected)\nCOM1: ReadFile failed (injected)\n"
            "COM1: SetCommState failed (injected)\n")
      << "one reason a failure, none for a success";
  // A close succeeds whatever the platform says; a second one has no port
  // to release and succeeds too.
  Sim_FailCall("CloseHandle", 1);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_FALSE(Sim_PortIsOpen(1));
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_EQ(Sim_CallCount("CloseHandle"), 1);
  // Reads on a closed port fail instead of touching a stale handle.
  EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 1, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(console(), "");
}

// Every platform layer reads a device name by this one rule.
TEST(PortName, NamesTheComPortsWindowsResolves) {
  const struct {
    const char *name;
    int port;
  } cases[] = {
      {"\\\\.\\COM3", 3},
      {"\\\\.\\com3", 3},
      {"\\\\.\\cOm12", 12},
      {"COM7", 7},
      {"COM32", 32},
      {"\\\\.\\COM999999", 999999},
      {"\\\\.\\COM1000000", 0},
      {"\\\\.\\COM0", 0},
      {"\\\\.\\COM03", 0},
      {"\\\\.\\COM", 0},
      {"\\\\.\\COM3x", 0},
      {"\\\\.\\COM-3", 0},
      {"\\\\.\\COM 3", 0},
      {"\\\\.\\LPT1", 0},
      {"\\\\?\\COM3", 0},
      {"\\\\.\\\\\\.\\COM3", 0},
      {"/dev/ttyS0", 0},
      {"", 0},
      {nullptr, 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(portNumberFromName(c.name), c.port) << (c.name != nullptr ? c.name : "(null)");
  }
}

}  // namespace
