#include "Services/StackProbe.h"

namespace StackProbe {

void Paint(Stack& Area) {
  for (uint64_t& Word : Area.Words) {
    Word = PAINT;
  }
}

uint64_t Bottom(const Stack& Area) {
  return reinterpret_cast<uint64_t>(&Area.Words[0]);
}

uint64_t Top(Stack& Area) {
  return Bottom(Area) + STACK_BYTES;
}

bool BottomIntact(const Stack& Area, size_t Bytes) {
  for (size_t Index = 0; Index < Bytes / sizeof(uint64_t); ++Index) {
    if (Area.Words[Index] != PAINT) {
      return false;
    }
  }
  return true;
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
