// The interrupt descriptor table and the dispatcher behind the CPU Architectural Protocol:
// exceptions end the run with a report, registered vectors go to their handler, which runs on a
// stack of its own that the firmware paints and measures. Interrupts that nest in a handler run on
// that stack too. A stack that runs out ends the run with "result=interrupt-stack-overflow";
// interrupts that leave the interrupted code no time end it with "result=interrupt-livelock".
#pragma once

#include "Uefi/Protocols.h"

namespace Interrupts {

// Register state saved by the common interrupt entry, lowest address first.
struct Frame {
  uint64_t R15, R14, R13, R12, R11, R10, R9, R8;
  uint64_t Rbp, Rdi, Rsi, Rdx, Rcx, Rbx, Rax;
  uint64_t Vector;
  uint64_t ErrorCode;
  uint64_t Rip, Cs, Rflags, Rsp, Ss; // pushed by the processor
};
static_assert(sizeof(Frame) == 22 * 8, "frame layout matches the entry code");

constexpr unsigned VECTOR_COUNT = 256;
constexpr unsigned FIRST_EXTERNAL_VECTOR = 32;

void InstallDescriptorTable();

Uefi::Status RegisterHandler(int64_t Vector, Uefi::InterruptHandlerFn Handler);

// Measurements of the calls to one vector's handler.
struct HandlerStatistics {
  uint64_t Calls;
  uint64_t TotalCycles; // TSC ticks from just before the call to just after it
  uint64_t MinCycles;
  uint64_t MaxCycles;
  uint64_t LeftInService; // the handler returned with its vector still in service (no EOI)
};
HandlerStatistics Statistics(uint8_t Vector);
// Starts a new measurement; the count of missing end-of-interrupts runs on for the whole boot,
// since one missing EOI blocks the vector for good and later windows would see nothing.
void ResetStatistics(uint8_t Vector);

uint64_t UnhandledInterrupts();

// Vectors that have a handler now.
unsigned RegisteredHandlers();
// A digest of the descriptor table, to tell whether anyone wrote it.
uint64_t DescriptorTableDigest();

// True while the handler of this vector runs for a hardware interrupt.
bool Dispatching(uint8_t Vector);
// The TSC read first thing when the interrupt being dispatched reached the dispatcher.
uint64_t ArrivalTsc();
// The most handler dispatches ever in progress at once: 1 when no interrupt nested in a handler.
unsigned DeepestNestingSeen();

// Bytes of the handler stack ever used, since the firmware painted it.
uint64_t HandlerStackHighWater();

} // namespace Interrupts
