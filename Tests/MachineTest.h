// Base fixture: every test starts on a freshly reset simulated machine and firmware.
#pragma once

#include "PlatformSettings.h"
#include "SimulatedMachine/SimulatedFirmware.h"
#include "SimulatedMachine/SimulatedMachine.h"

#include <gtest/gtest.h>

#include <string>

// A progress or error message as the port shows it: a build without debug messages leaves it out,
// while the reports of failed checks stay.
inline std::string Message(const std::string& Text) {
  return DEBUG_MESSAGES_ENABLED ? Text : "";
}

class MachineTest : public ::testing::Test {
protected:
  void SetUp() override {
    Machine().Reset();
    Firmware().Reset();
  }
};
