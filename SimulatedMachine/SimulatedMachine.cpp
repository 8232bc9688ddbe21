#include "SimulatedMachine/SimulatedMachine.h"

namespace {
constexpr UINT16 SERIAL_LINE_STATUS_PORT = 0x3FD;
constexpr UINT16 SERIAL_TRANSMIT_PORT = 0x3F8;
constexpr UINT8 UNCLAIMED_PORT_VALUE = 0xFF;
} // namespace

SimulatedMachine& Machine() {
  static SimulatedMachine Instance;
  return Instance;
}

void SimulatedMachine::Reset() {
  *this = SimulatedMachine();
}

std::string SimulatedMachine::SerialOutput() const {
  std::string Text;
  for (const auto& Access : Log) {
    if (Access.Kind == AccessKind::PortWrite && Access.Address == SERIAL_TRANSMIT_PORT) {
      Text.push_back(static_cast<char>(Access.Value));
    }
  }
  return Text;
}

std::string SimulatedMachine::TakeSerialOutput() {
  std::string Text = SerialOutput();
  std::string New = Text.substr(SerialTaken);
  SerialTaken = Text.size();
  return New;
}

std::vector<HardwareAccessRecord> SimulatedMachine::Accesses(AccessKind Kind) const {
  std::vector<HardwareAccessRecord> Found;
  for (const auto& Access : Log) {
    if (Access.Kind == Kind) {
      Found.push_back(Access);
    }
  }
  return Found;
}

bool SimulatedMachine::RunUntilHalt(const std::function<void()>& Body) {
  std::jmp_buf Exit;
  std::jmp_buf* Outer = HaltExit;
  HaltPolicy OuterPolicy = OnHalt;
  HaltExit = &Exit;
  OnHalt = HaltPolicy::Stop;
  bool Halted = false;
  if (setjmp(Exit) == 0) {
    Body();
  } else {
    Halted = true;
  }
  HaltExit = Outer;
  OnHalt = OuterPolicy;
  return Halted;
}

void SimulatedMachine::Halt() {
  Record(AccessKind::Halt, 0, 0);
  ++HaltCount;
  if (OnHalt == HaltPolicy::Stop && HaltExit != nullptr) {
    std::longjmp(*HaltExit, 1);
  }
}

// The hardware layer, answered by the simulated machine.

UINT8 PortRead8(UINT16 Port) {
  SimulatedMachine& M = Machine();
  UINT8 Value = UNCLAIMED_PORT_VALUE;
  if (Port == SERIAL_LINE_STATUS_PORT) {
    if (M.BeforeLineStatusRead) {
      M.BeforeLineStatusRead();
    }
    Value = M.LineStatus;
  }
  M.Record(AccessKind::PortRead, Port, Value);
  return Value;
}

VOID PortWrite8(UINT16 Port, UINT8 Value) {
  SimulatedMachine& M = Machine();
  M.Record(AccessKind::PortWrite, Port, Value);
  if (M.AfterPortWrite) {
    M.AfterPortWrite(Port, Value);
  }
}

UINT64 MsrRead(UINT32 Index) {
  SimulatedMachine& M = Machine();
  auto Found = M.Msrs.find(Index);
  UINT64 Value = Found == M.Msrs.end() ? 0 : Found->second;
  M.Record(AccessKind::MsrRead, Index, Value);
  return Value;
}

VOID MsrWrite(UINT32 Index, UINT64 Value) {
  SimulatedMachine& M = Machine();
  M.Msrs[Index] = Value;
  M.Record(AccessKind::MsrWrite, Index, Value);
}

CpuidResult CpuidExecute(UINT32 Leaf) {
  SimulatedMachine& M = Machine();
  auto Found = M.CpuidLeaves.find(Leaf);
  CpuidResult Result = Found == M.CpuidLeaves.end() ? CpuidResult{0, 0, 0, 0} : Found->second;
  M.Record(AccessKind::Cpuid, Leaf, Result.Eax);
  return Result;
}

UINT64 TscRead() {
  SimulatedMachine& M = Machine();
  M.Record(AccessKind::TscRead, 0, M.Tsc);
  return M.Tsc;
}

UINT32 DeviceRead32(UINT64 Address) {
  SimulatedMachine& M = Machine();
  auto Found = M.DeviceMemory.find(Address);
  UINT32 Value = Found == M.DeviceMemory.end() ? 0 : Found->second;
  M.Record(AccessKind::DeviceRead, Address, Value);
  return Value;
}

VOID DeviceWrite32(UINT64 Address, UINT32 Value) {
  SimulatedMachine& M = Machine();
  M.DeviceMemory[Address] = Value;
  M.Record(AccessKind::DeviceWrite, Address, Value);
}

// Placed by the linker at the start of the test executable.
extern "C" const char __executable_start;

UINT64 LoadedImageBase() {
  return reinterpret_cast<UINTN>(&__executable_start);
}

VOID HaltUntilReleased() {
  Machine().Halt();
}
