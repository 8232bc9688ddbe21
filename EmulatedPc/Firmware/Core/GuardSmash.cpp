#include "Core/GuardSmash.h"

#include "Platform/Console.h"

namespace GuardSmash {
namespace {

// The driver's guard value: every guarded frame holds a copy of it above its locals.
constexpr uint64_t DRIVER_STACK_GUARD = 0x0AFF;
constexpr uint64_t SMASHED_GUARD = 0x4141414141414141; // what an overflowing string would leave
// The entry's frame is a few hundred bytes; the search goes no further than this.
constexpr unsigned CALLER_FRAME_WORDS = 64;
constexpr unsigned RETURN_ADDRESS_WORD = 1;

bool Armed = false;

} // namespace

void Arm() {
  Armed = true;
}

void OnService(const void* ServiceFrame) {
  if (!Armed) {
    return;
  }
  Armed = false;
  // Above the return address: the caller's home area for this call, then the rest of its frame.
  // Below the guard copy lie only the caller's own locals, which never hold the guard value.
  auto* Words = static_cast<uint64_t*>(const_cast<void*>(ServiceFrame));
  for (unsigned Index = RETURN_ADDRESS_WORD + 1; Index <= CALLER_FRAME_WORDS; ++Index) {
    if (Words[Index] == DRIVER_STACK_GUARD) {
      Words[Index] = SMASHED_GUARD;
      Console::FactHex("guard-smashed-at", reinterpret_cast<uint64_t>(&Words[Index]));
      Console::FactHex("guard-smashed-caller", Words[RETURN_ADDRESS_WORD]);
      return;
    }
  }
  Console::FactText("guard-smashed-at", "none: no guard copy in the caller's frame");
}

} // namespace GuardSmash
