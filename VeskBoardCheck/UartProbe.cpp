#include "VeskBoardCheck/UartProbe.h"

#include "HardwareAccess/HardwareAccess.h"

namespace {
// The scratch register holds whatever is written to it and does nothing else, so writing it
// disturbs no transfer. Two patterns with every bit both ways tell it from an empty bus, which
// reads 0xFF, or a register that reads back some fixed value.
constexpr UINT16 SCRATCH_REGISTER_OFFSET = 7;
constexpr UINT8 FIRST_PATTERN = 0x55;
constexpr UINT8 SECOND_PATTERN = 0xAA;
} // namespace

BOOLEAN UartPresent(UINT16 Port) {
  const UINT16 Scratch = static_cast<UINT16>(Port + SCRATCH_REGISTER_OFFSET);
  const UINT8 Kept = PortRead8(Scratch);
  PortWrite8(Scratch, FIRST_PATTERN);
  const bool First = PortRead8(Scratch) == FIRST_PATTERN;
  PortWrite8(Scratch, SECOND_PATTERN);
  const bool Second = PortRead8(Scratch) == SECOND_PATTERN;
  PortWrite8(Scratch, Kept);
  return First && Second;
}
