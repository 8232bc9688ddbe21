// Base fixture: every test starts on a freshly reset simulated machine and firmware.
#pragma once

#include "SimulatedMachine/SimulatedFirmware.h"
#include "SimulatedMachine/SimulatedMachine.h"

#include <gtest/gtest.h>

class MachineTest : public ::testing::Test {
protected:
  void SetUp() override {
    Machine().Reset();
    Firmware().Reset();
  }
};
