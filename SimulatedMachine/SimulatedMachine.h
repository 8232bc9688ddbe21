// A simulated x86-64 machine behind the hardware layer for the host build: it answers every
// access the driver makes and keeps an ordered log of them, so tests can check both the values and
// the order of the hardware steps.
#pragma once

#include "HardwareAccess/HardwareAccess.h"

#include <csetjmp>
#include <functional>
#include <map>
#include <string>
#include <vector>

enum class AccessKind {
  PortRead,
  PortWrite,
  MsrRead,
  MsrWrite,
  Cpuid,
  TscRead,
  DeviceRead,
  DeviceWrite,
  Halt
};

struct HardwareAccessRecord {
  AccessKind Kind;
  UINT64 Address; // port, MSR index, CPUID leaf or device address; 0 for TSC reads and halts
  UINT64 Value;   // value read or written
  bool operator==(const HardwareAccessRecord&) const = default;
};

// What a halt does on the simulated machine: return at once, as if a debugger had released it, or
// leave the halted code for good (back to the innermost RunUntilHalt).
enum class HaltPolicy { Release, Stop };

class SimulatedMachine {
public:
  // Back to power-on state: empty log, UART ready, no MSRs, no device memory, halts released.
  void Reset();

  // Ports. The line status register of COM1 (0x3FD) answers LineStatus; other reads answer 0xFF.
  UINT8 LineStatus = 0x60;
  // Called before each port read of 0x3FD, so a test can model a busy transmitter.
  std::function<void()> BeforeLineStatusRead;
  // Called after every port write; a test may use it to act in the middle of driver code.
  std::function<void(UINT16 Port, UINT8 Value)> AfterPortWrite;

  std::map<UINT32, UINT64> Msrs;
  std::map<UINT32, CpuidResult> CpuidLeaves;
  UINT64 Tsc = 0;
  std::map<UINT64, UINT32> DeviceMemory;

  HaltPolicy OnHalt = HaltPolicy::Release;
  int HaltCount = 0;

  std::vector<HardwareAccessRecord> Log;

  // The bytes written to COM1's transmit register since the last Reset or TakeSerialOutput.
  std::string SerialOutput() const;
  std::string TakeSerialOutput();
  // The records of one kind, in order.
  std::vector<HardwareAccessRecord> Accesses(AccessKind Kind) const;

  // Runs Body with halts that stop the code that halted; returns true if Body halted.
  bool RunUntilHalt(const std::function<void()>& Body);

  // Used by the hardware layer.
  void Record(AccessKind Kind, UINT64 Address, UINT64 Value) {
    Log.push_back({Kind, Address, Value});
  }
  void Halt();

private:
  size_t SerialTaken = 0;
  std::jmp_buf* HaltExit = nullptr;
};

SimulatedMachine& Machine();
