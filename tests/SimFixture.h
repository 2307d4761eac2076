// Common set-up of tests that run the driver on the simulated platform.
#ifndef SIMFIXTURE_H
#define SIMFIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "ComPortAPI.h"
#include "PlatformSim.h"
#include "TessaronFwUpgrade.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sim_Reset();
    ComPortAPI_ResetForTest();
    gComPortNumber = 0;
    gBaudRate = 0;
  }
  void TearDown() override {
    releaseSharedBuffers();
    ComPortAPI_ResetForTest();
    Sim_Reset();
  }
  // The shared buffers as the tool's start prepares them.
  void allocateBuffers() { ASSERT_EQ(allocateSharedBuffers(), 1); }
  const std::string &console() { return Sim_ConsoleText(); }
};

// n backspace characters.
inline std::string backspaces(int n) { return std::string(static_cast<size_t>(n), '\b'); }

#endif
