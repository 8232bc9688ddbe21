// Lengths of zero-ended strings of 1-byte characters.
#include "Library/BaseLib/BaseLib.h"

#include "Library/SerialDebugLib/SerialDebugLib.h"

UINT64 AsciiStrnLenS(const CHAR8* String, UINT64 Limit) {
  if (String == nullptr) {
    return 0;
  }
  UINT64 Length = 0;
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
