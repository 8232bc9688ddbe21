// The processor's own answers to the firmware, reported as facts: the board check's inspect lines
// are judged against them.
#pragma once

namespace ProcessorFacts {

// CPUID leaves 1, 6, 0x15 and 0x16 (those the highest leaf has) and 0x80000007, and the microcode
// revision.
void Report();

} // namespace ProcessorFacts
