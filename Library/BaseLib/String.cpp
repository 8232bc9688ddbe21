// Lengths of zero-ended strings of 1-byte characters.
#include "Library/BaseLib/BaseLib.h"

#include "Library/SerialDebugLib/SerialDebugLib.h"

namespace {

// Bytes tested per round of the bounded loop below.
constexpr UINT64 BYTES_PER_ROUND = 4;

} // namespace

// The format engine measures every format twice, so this loop is hot. It tests the limit once for
// four bytes, then finds the zero among them byte by byte. Each byte is read only after the bytes
// before it were found non-zero, so it never reads past the zero byte or the limit.
UINT64 AsciiStrnLenS(const CHAR8* String, UINT64 Limit) {
  if (String == nullptr) {
    return 0;
  }
  UINT64 Length = 0;
  for (; Limit - Length >= BYTES_PER_ROUND; Length += BYTES_PER_ROUND) {
    const CHAR8* Round = String + Length;
    if (Round[0] == 0 || Round[1] == 0 || Round[2] == 0 || Round[3] == 0) {
      break;
    }
  }
  while (Length < Limit && String[Length] != 0) {
    ++Length;
  }
  return Length;
}

UINT64 AsciiTextLength(const CHAR8* String) {
  UINT64 Length = 0;
  for (; String[Length] != 0; ++Length) {
    // Every character beyond the maximum is reported; a released report goes on counting.
    ASSERT(Length < _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength);
  }
  return Length;
}
