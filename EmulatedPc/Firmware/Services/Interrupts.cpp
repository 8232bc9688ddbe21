#include "Services/Interrupts.h"

#include "Boot/InterruptLayout.h"
#include "Platform/Console.h"
#include "Platform/Cpu.h"
#include "Platform/Emulator.h"
#include "Platform/LocalApic.h"
#include "Services/StackProbe.h"

extern "C" {
extern const uint8_t InterruptStubs[];
extern const uint8_t InterruptStubsEnd[];
uint64_t CallOnStack(const void* Function, uint64_t Argument1, uint64_t Argument2,
                     uint64_t StackTop);
void InterruptDispatch(Interrupts::Frame* Saved);
}

namespace Interrupts {
namespace {

constexpr uint16_t GDT_CODE64_SELECTOR = 0x18;
constexpr uint8_t GATE_INTERRUPT_PRESENT = 0x8E; // present, ring 0, 64-bit interrupt gate

struct Gate {
  uint16_t OffsetLow;
  uint16_t Selector;
  uint8_t Ist;
  uint8_t TypeAttributes;
  uint16_t OffsetMiddle;
  uint32_t OffsetHigh;
  uint32_t Reserved;
};
static_assert(sizeof(Gate) == 16, "a 64-bit gate is 16 bytes");

struct __attribute__((packed)) TableRegister {
  uint16_t Limit;
  uint64_t Base;
};
static_assert(sizeof(TableRegister) == 10, "IDTR image is 10 bytes");

alignas(16) Gate DescriptorTable[VECTOR_COUNT];
Uefi::InterruptHandlerFn Handlers[VECTOR_COUNT];
HandlerStatistics Stats[VECTOR_COUNT];
uint64_t Unhandled = 0;
StackProbe::Stack HandlerStack;
constexpr unsigned NO_VECTOR = VECTOR_COUNT;
unsigned DispatchingVector = NO_VECTOR;

const char* const EXCEPTION_NAMES[FIRST_EXTERNAL_VECTOR] = {
    "#DE", "#DB", "NMI", "#BP", "#OF", "#BR", "#UD", "#NM", "#DF", "CSO", "#TS",
    "#NP", "#SS", "#GP", "#PF", "?15", "#MF", "#AC", "#MC", "#XM", "#VE", "#CP",
    "?22", "?23", "?24", "?25", "?26", "?27", "?28", "?29", "?30", "?31"};

[[noreturn]] void ReportException(const Frame& Saved) {
  uint64_t FaultAddress;
  asm volatile("mov %%cr2, %0" : "=r"(FaultAddress));
  Console::BeginLine();
  Console::Write("exception ");
  Console::Write(EXCEPTION_NAMES[Saved.Vector]);
  Console::Write(" vector=");
  Console::WriteDecimal(Saved.Vector);
  Console::Write(" error=");
  Console::WriteHex(Saved.ErrorCode);
  Console::Write(" rip=");
  Console::WriteHex(Saved.Rip);
  Console::Write(" rsp=");
  Console::WriteHex(Saved.Rsp);
  Console::Write(" cr2=");
  Console::WriteHex(FaultAddress);
  Console::EndLine();
  Console::FactText("result", "exception");
  Console::Flush();
  Emulator::PowerOff();
}

void CallHandler(uint8_t Vector, Uefi::InterruptHandlerFn Handler, Frame* Saved) {
  const unsigned Interrupted = DispatchingVector;
  DispatchingVector = Vector;
  const uint64_t Start = Cpu::ReadTsc();
  CallOnStack(reinterpret_cast<const void*>(Handler), Vector, reinterpret_cast<uint64_t>(Saved),
              StackProbe::Top(HandlerStack));
  const uint64_t Cycles = Cpu::ReadTsc() - Start;
  DispatchingVector = Interrupted;
  HandlerStatistics& S = Stats[Vector];
  ++S.Calls;
  S.TotalCycles += Cycles;
  if (S.Calls == 1 || Cycles < S.MinCycles) {
    S.MinCycles = Cycles;
  }
  if (Cycles > S.MaxCycles) {
    S.MaxCycles = Cycles;
  }
  if (LocalApic::InService(Vector)) {
    ++S.LeftInService;
  }
}

} // namespace

void InstallDescriptorTable() {
  const uint64_t StubBase = reinterpret_cast<uint64_t>(InterruptStubs);
  for (unsigned Vector = 0; Vector < VECTOR_COUNT; ++Vector) {
    const uint64_t Entry = StubBase + Vector * INTERRUPT_STUB_SIZE;
    DescriptorTable[Vector] = {static_cast<uint16_t>(Entry),
                               GDT_CODE64_SELECTOR,
                               0,
                               GATE_INTERRUPT_PRESENT,
                               static_cast<uint16_t>(Entry >> 16),
                               static_cast<uint32_t>(Entry >> 32),
                               0};
  }
  const TableRegister Idtr = {sizeof(DescriptorTable) - 1,
                              reinterpret_cast<uint64_t>(DescriptorTable)};
  asm volatile("lidt %0" ::"m"(Idtr));
  StackProbe::Paint(HandlerStack);
}

Uefi::Status RegisterHandler(int64_t Vector, Uefi::InterruptHandlerFn Handler) {
  if (Vector < 0 || Vector >= static_cast<int64_t>(VECTOR_COUNT)) {
    return Uefi::UNSUPPORTED;
  }
  if (Handler != nullptr && Handlers[Vector] != nullptr) {
    return Uefi::ALREADY_STARTED;
  }
  if (Handler == nullptr && Handlers[Vector] == nullptr) {
    return Uefi::INVALID_PARAMETER;
  }
  Handlers[Vector] = Handler;
  return Uefi::SUCCESS;
}

HandlerStatistics Statistics(uint8_t Vector) {
  return Stats[Vector];
}
void ResetStatistics(uint8_t Vector) {
  Stats[Vector] = {0, 0, 0, 0, Stats[Vector].LeftInService};
}
uint64_t UnhandledInterrupts() {
  return Unhandled;
}
bool Dispatching(uint8_t Vector) {
  return DispatchingVector == Vector;
}
uint64_t HandlerStackHighWater() {
  return StackProbe::HighWater(HandlerStack);
}

} // namespace Interrupts

extern "C" void InterruptDispatch(Interrupts::Frame* Saved) {
  using namespace Interrupts;
  const uint64_t Vector = Saved->Vector;
  if (Vector < FIRST_EXTERNAL_VECTOR) {
    ReportException(*Saved);
  }
  if (Vector == LocalApic::SPURIOUS_VECTOR) {
    return; // a spurious interrupt is not acknowledged
  }
  const Uefi::InterruptHandlerFn Handler = Handlers[Vector];
  if (Handler == nullptr) {
    ++Unhandled;
    LocalApic::Write(LocalApic::REG_EOI, 0);
    return;
  }
  CallHandler(static_cast<uint8_t>(Vector), Handler, Saved);
}
