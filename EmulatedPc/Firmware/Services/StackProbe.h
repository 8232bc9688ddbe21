// Stacks that are painted with a known pattern before use, so that the deepest byte written
// shows afterwards how much of them the code used.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace StackProbe {

constexpr uint64_t PAINT = 0x5AA5C33CF00FE11EULL;
constexpr size_t STACK_BYTES = 16 * 1024;

struct Stack {
  alignas(16) uint64_t Words[STACK_BYTES / sizeof(uint64_t)];
};

void Paint(Stack& Area);
uint64_t Top(Stack& Area);
uint64_t Bottom(const Stack& Area);
// Whether the lowest Bytes of the stack still hold the paint: a canary that a stack running out
// overwrites.
bool BottomIntact(const Stack& Area, size_t Bytes);
// Bytes between the top and the deepest word that no longer holds the paint.
uint64_t HighWater(const Stack& Area);

} // namespace StackProbe
