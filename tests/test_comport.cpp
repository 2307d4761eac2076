// The serial link on the simulated platform: what reaches the port at open,
// the setters' store-then-apply rule, failures and read time-outs.
#include <gtest/gtest.h>

#include <vector>

#include "TestSupport.h"

namespace {

using ComPortTest = SimTest;

TEST_F(ComPortTest, OpenAppliesTheLineSettingsAndTimeoutsOfTheRecords) {
  Sim_AddPort(3);
  ASSERT_EQ(ComPortAPI_OpenCOM(3), 1);
  EXPECT_TRUE(Sim_PortIsOpen(3));
  // 9600 baud 8N1, binary, DTR and RTS raised, CTS output flow control
  // and no other; a read ends 500 ms after it began.
  const DCB d = Sim_PortDcb(3);
  EXPECT_EQ((std::vector<DWORD>{d.DCBlength, d.BaudRate, d.ByteSize, d.Parity, d.StopBits,
                                d.fBinary, d.fOutxCtsFlow, d.fOutxDsrFlow, d.fOutX, d.fInX,
                                d.fDtrControl, d.fRtsControl, d.fParity, d.fNull}),
            (std::vector<DWORD>{sizeof(DCB), 9600, 8, NOPARITY, ONESTOPBIT, 1, 1, 0, 0, 0,
                                DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, 0, 0}));
  const COMMTIMEOUTS c = Sim_PortTimeouts(3);
  EXPECT_EQ((std::vector<DWORD>{c.ReadIntervalTimeout, c.ReadTotalTimeoutConstant,
                                c.ReadTotalTimeoutMultiplier, c.WriteTotalTimeoutConstant}),
            (std::vector<DWORD>{500, 500, 0, 0}));
  // Both queues purged and DTR raised once configured.
  EXPECT_EQ(Sim_CallCount("PurgeComm"), 1);
  EXPECT_EQ(Sim_CallCount("EscapeCommFunction"), 1);
  EXPECT_EQ(console(), "");
}

TEST_F(ComPortTest, PortNumbersAboveNineOpenByTheSameNameForm) {
  Sim_AddPort(12);
  Sim_AddPort(32);
  EXPECT_EQ(ComPortAPI_OpenCOM(12), 1);
  ComPortAPI_CloseCOM();
  EXPECT_EQ(ComPortAPI_OpenCOM(32), 1);
}

TEST_F(ComPortTest, SettersCalledWhileClosedStoreAndTheNextOpenApplies) {
  Sim_AddPort(1);
  EXPECT_EQ(ComPortAPI_SetBaudRate(115200), 0);
  EXPECT_EQ(ComPortAPI_SetReadingTimeoutInMs(1000), 0);
  EXPECT_EQ(ComPortAPI_SetHardwareFlowControl(0), 0);
  EXPECT_EQ(Sim_CallCount("SetCommState"), 0);
  EXPECT_EQ(g_dcb.BaudRate, 115200u);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  EXPECT_EQ(Sim_PortDcb(1).BaudRate, 115200u);
  EXPECT_EQ(Sim_PortDcb(1).fOutxCtsFlow, 0u);
  EXPECT_EQ(Sim_PortTimeouts(1).ReadIntervalTimeout, 1000u);
  EXPECT_EQ(Sim_PortTimeouts(1).ReadTotalTimeoutConstant, 1000u);
}

TEST_F(ComPortTest, AskingForTheStoredValueMakesNoPlatformCall) {
  Sim_AddPort(1);
  struct Case {
    const char *name;
    BOOL (*set)();
  } cases[] = {
      {"baud", [] { return ComPortAPI_SetBaudRate(9600); }},
      {"timeout", [] { return ComPortAPI_SetReadingTimeoutInMs(500); }},
      {"flow", [] { return ComPortAPI_SetHardwareFlowControl(1); }},
      // Only the lowest bit of the flag counts.
      {"flow bit", [] { return ComPortAPI_SetHardwareFlowControl(3); }},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.set(), 1) << c.name << " while closed";
  }
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  const int states = Sim_CallCount("SetCommState");
  const int timeouts = Sim_CallCount("SetCommTimeouts");
  for (const Case &c : cases) {
    EXPECT_EQ(c.set(), 1) << c.name << " while open";
  }
  EXPECT_EQ(Sim_CallCount("SetCommState"), states);
  EXPECT_EQ(Sim_CallCount("SetCommTimeouts"), timeouts);
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
  EXPECT_EQ(console(), "") << "setters print nothing";
}

TEST_F(ComPortTest, OpenFailuresPrintTheirTextAndLeaveNoPortOpen) {
  struct Case {
    const char *name;
    void (*arrange)();
    const char *expected;
    int setCommStateCalls;
  } cases[] = {
      {"absent", [] {}, "ERROR: Opening COM5 failed !", 0},
      {"held by another program", [] { Sim_HoldPort(5); }, "ERROR: Opening COM5 failed !", 0},
      {"rate refused",
       [] {
         Sim_AddPort(5);
         Sim_SetPortRates(5, {115200});
       },
       "ERROR: COM5 configuration failed !", 1},
      {"time-outs refused",
       [] {
         Sim_AddPort(5);
         Sim_FailCall("SetCommTimeouts", 1);
       },
       "ERROR: COM5 configuration failed !", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange();
    EXPECT_EQ(ComPortAPI_OpenCOM(5), 0);
    EXPECT_EQ(console(), c.expected);
    EXPECT_FALSE(Sim_PortIsOpen(5) || ComPortAPI_IsOpen());
    EXPECT_EQ(Sim_CallCount("SetCommState"), c.setCommStateCalls);
    EXPECT_EQ(g_dcb.BaudRate, 9600u);
  }
}

TEST_F(ComPortTest, FailedReadsAndWritesReportZero) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  char buffer[4] = {'a', 'b', 'c', 'd'};
  int count = -1;
  Sim_FailCall("WriteFile", 1);
  EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 4, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(ComPortAPI_WriteCOM(buffer, 4, &count), 1);
  EXPECT_EQ(count, 4);
  Sim_FailCall("ReadFile", 1);
  EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 4, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(console(), "");
}

TEST_F(ComPortTest, CloseReportsSuccessWhateverThePlatformSays) {
  Sim_AddPort(1);
  ASSERT_EQ(ComPortAPI_OpenCOM(1), 1);
  Sim_FailCall("CloseHandle", 1);
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_FALSE(Sim_PortIsOpen(1));
  // A second close has no port to release and still succeeds.
  EXPECT_EQ(ComPortAPI_CloseCOM(), 1);
  EXPECT_EQ(Sim_CallCount("CloseHandle"), 1);
  // Reads and writes on a closed port fail instead of touching a stale handle.
  char buffer[1];
  int count = -1;
  EXPECT_EQ(ComPortAPI_ReadCOM(buffer, 1, &count), 0);
  EXPECT_EQ(count, 0);
}

}  // namespace
