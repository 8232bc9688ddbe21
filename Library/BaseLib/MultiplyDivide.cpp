// Scaling a 64-bit count by a ratio without losing the product's high bits.
#include "Library/BaseLib/BaseLib.h"

namespace {
constexpr UINT64 LARGEST_UINT64 = ~0ULL;
constexpr UINT32 HALF_SHIFT = 32;
constexpr UINT64 LOW_HALF = 0xFFFFFFFFULL;
} // namespace

// The division is split into two 64-by-32-bit steps so that the image needs no compiler-runtime
// 128-bit division helper: with the high half of the product below the divisor, each partial
// dividend fits in 64 bits and each partial quotient in 32.
UINT64 MultiplyDivide(UINT64 Value, UINT64 Multiplier, UINT32 Divisor, BOOLEAN RoundUp) {
  unsigned __int128 Product = static_cast<unsigned __int128>(Value) * Multiplier;
  if (RoundUp) {
    Product += Divisor - 1; // cannot carry out: the product is at most (2^64 - 1)^2
  }
  const UINT64 High = static_cast<UINT64>(Product >> 64);
  const UINT64 Low = static_cast<UINT64>(Product);
  if (High >= Divisor) {
    return LARGEST_UINT64;
  }
  const UINT64 UpperDividend = (High << HALF_SHIFT) | (Low >> HALF_SHIFT);
  const UINT64 UpperQuotient = UpperDividend / Divisor;
  const UINT64 LowerDividend = ((UpperDividend % Divisor) << HALF_SHIFT) | (Low & LOW_HALF);
  return (UpperQuotient << HALF_SHIFT) | (LowerDividend / Divisor);
}
