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
uint64_t DispatchArrival = 0; // TSC when the innermost dispatch in progress began
unsigned Nesting = 0;         // handler dispatches in progress
unsigned DeepestNesting = 0;
// The share of time the code outside any handler gets, over every STARVATION_CHECK dispatches.
uint64_t LastReturnTsc = 0; // when the last outermost dispatch handed back to the interrupted code
uint64_t CheckStartTsc = 0;
uint64_t OutsideTsc = 0;
unsigned Dispatches = 0;

// The lowest words of the handler stack keep their paint as a canary, checked on every entry.
constexpr size_t STACK_CANARY_BYTES = 64;
// A nested dispatch needs room for the processor's frame, the saved registers and SSE state
// (about 700 bytes), the dispatcher and the handler (the driver's takes about 350), and the
// overflow report; an interrupt that finds less below it is not dispatched.
constexpr uint64_t NESTING_HEADROOM_BYTES = 3072;
static_assert(NESTING_HEADROOM_BYTES < StackProbe::STACK_BYTES / 2, "room for some nesting");
// Interrupts that leave the code outside any handler less than 1/16 of the time over 1000
// dispatches leave the firmware no time to go on; a working timer leaves it nearly all. From the
// dispatcher's return to the next arrival at it, IRETQ and the entry take about 110 TSC ticks by
// themselves: only what lies beyond that was the interrupted code's.
constexpr unsigned STARVATION_CHECK = 1000;
constexpr uint64_t STARVED_SHARE_DIVISOR = 16;
constexpr uint64_t RETURN_AND_ENTRY_TSC = 128;

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
  Emulator::Finish("exception");
}

// A handler that lets interrupts in before it returns (RestoreTPL below TPL_HIGH_LEVEL does) gets
// the next one nested on its own stack. When ticks come faster than that path, each nests in the
// last and the stack runs out: the run ends with a report instead of overwriting what lies below.
[[noreturn]] void ReportStackOverflow(unsigned Depth) {
  Console::Fact("interrupt-nesting-depth", Depth);
  Console::Fact("handler-stack-bytes", StackProbe::HighWater(HandlerStack));
  Emulator::Finish("interrupt-stack-overflow");
}

// A period a little longer than the handler's path up to its RestoreTPL, but shorter than the
// whole interrupt path, nests little or nothing: the next deadline passes while the dispatcher
// returns, and the next tick comes as soon as the last one leaves. The code the ticks interrupt
// never runs again, and the run would hang.
void GuardProgress(uint64_t Arrival) {
  if (Nesting == 0 && Arrival - LastReturnTsc > RETURN_AND_ENTRY_TSC) {
    OutsideTsc += Arrival - LastReturnTsc - RETURN_AND_ENTRY_TSC;
  }
  if (++Dispatches < STARVATION_CHECK) {
    return;
  }
  if (OutsideTsc < (Arrival - CheckStartTsc) / STARVED_SHARE_DIVISOR) {
    Console::Fact("starved-dispatches", Dispatches);
    Console::Fact("starved-over-tsc", Arrival - CheckStartTsc);
    Console::Fact("starved-outside-handlers-tsc", OutsideTsc);
    Emulator::Finish("interrupt-livelock");
  }
  Dispatches = 0;
  OutsideTsc = 0;
  CheckStartTsc = Arrival;
}

void GuardHandlerStack(const Frame* Saved) {
  const uint64_t Here = reinterpret_cast<uint64_t>(Saved);
  const uint64_t Bottom = StackProbe::Bottom(HandlerStack);
  const bool OnHandlerStack = Here >= Bottom && Here < StackProbe::Top(HandlerStack);
  if (!StackProbe::BottomIntact(HandlerStack, STACK_CANARY_BYTES) ||
      (OnHandlerStack && Here - Bottom < NESTING_HEADROOM_BYTES)) {
    ReportStackOverflow(Nesting + 1);
  }
}

// The outermost dispatch moves to the handler stack; a nested one stays on the stack it
// interrupted, which is that same stack, below the frames of the handlers it interrupted.
void CallHandler(uint8_t Vector, Uefi::InterruptHandlerFn Handler, Frame* Saved, uint64_t Arrival) {
  const unsigned Interrupted = DispatchingVector;
  const uint64_t InterruptedArrival = DispatchArrival;
  DispatchingVector = Vector;
  DispatchArrival = Arrival;
  GuardProgress(Arrival);
  if (++Nesting > DeepestNesting) {
    DeepestNesting = Nesting;
  }
  const uint64_t Start = Cpu::ReadTsc();
  if (Nesting == 1) {
    CallOnStack(reinterpret_cast<const void*>(Handler), Vector, reinterpret_cast<uint64_t>(Saved),
                StackProbe::Top(HandlerStack));
  } else {
    Handler(Vector, Saved);
  }
  // The interrupted context gets its interrupt flag back from IRETQ; until then nothing may nest
  // in this bookkeeping.
  Cpu::DisableInterrupts();
  const uint64_t Cycles = Cpu::ReadTsc() - Start;
  if (--Nesting == 0) {
    LastReturnTsc = Cpu::ReadTsc();
  }
  DispatchingVector = Interrupted;
  DispatchArrival = InterruptedArrival;
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
uint64_t ArrivalTsc() {
  return DispatchArrival;
}
unsigned DeepestNestingSeen() {
  return DeepestNesting;
}
uint64_t HandlerStackHighWater() {
  return StackProbe::HighWater(HandlerStack);
}
unsigned RegisteredHandlers() {
  unsigned Count = 0;
  for (const Uefi::InterruptHandlerFn Handler : Handlers) {
    Count += Handler != nullptr;
  }
  return Count;
}
uint64_t DescriptorTableDigest() {
  constexpr uint64_t MULTIPLIER = 0x100000001B3ULL; // FNV-1's prime: every word moves the digest
  TableRegister Loaded;
  asm volatile("sidt %0" : "=m"(Loaded));
  uint64_t Digest = (Loaded.Base ^ Loaded.Limit) * MULTIPLIER;
  for (size_t Offset = 0; Offset < sizeof(DescriptorTable); Offset += sizeof(uint64_t)) {
    uint64_t Word;
    __builtin_memcpy(&Word, reinterpret_cast<const uint8_t*>(DescriptorTable) + Offset,
                     sizeof(Word));
    Digest = (Digest ^ Word) * MULTIPLIER;
  }
  return Digest;
}

} // namespace Interrupts

extern "C" void InterruptDispatch(Interrupts::Frame* Saved) {
  using namespace Interrupts;
  const uint64_t Arrival = Cpu::ReadTsc();
  GuardHandlerStack(Saved);
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
  CallHandler(static_cast<uint8_t>(Vector), Handler, Saved, Arrival);
}
