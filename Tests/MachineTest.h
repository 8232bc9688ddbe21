// Base fixture: every test starts on a freshly reset simulated machine.
#pragma once

#include "SimulatedMachine/SimulatedMachine.h"

#include <gtest/gtest.h>

class MachineTest : public ::testing::Test {
protected:
  void SetUp() override { Machine().Reset(); }
};
