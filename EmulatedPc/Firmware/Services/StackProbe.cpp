#include "Services/StackProbe.h"

namespace StackProbe {

void Paint(Stack& Area) {
  for (uint64_t& Word : Area.Words) {
    Word = PAINT;
  }
}

uint64_t Top(Stack& Area) {
  return reinterpret_cast<uint64_t>(&Area.Words[0]) + STACK_BYTES;
}

uint64_t HighWater(const Stack& Area) {
  constexpr size_t WORDS = STACK_BYTES / sizeof(uint64_t);
  size_t Index = 0;
  while (Index < WORDS && Area.Words[Index] == PAINT) {
    ++Index;
  }
  return (WORDS - Index) * sizeof(uint64_t);
}

} // namespace StackProbe
