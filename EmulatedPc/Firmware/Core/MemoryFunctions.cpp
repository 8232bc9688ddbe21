// The four memory routines the compiler may call on its own for copies and clears, written with
// string instructions so that they cannot be turned back into calls to themselves.
#include <stddef.h>

extern "C" {

void* memcpy(void* Destination, const void* Source, size_t Bytes) {
  void* Result = Destination;
  asm volatile("rep movsb" : "+D"(Destination), "+S"(Source), "+c"(Bytes)::"memory");
  return Result;
}

void* memmove(void* Destination, const void* Source, size_t Bytes) {
  auto* To = static_cast<unsigned char*>(Destination);
  const auto* From = static_cast<const unsigned char*>(Source);
  if (To <= From || To >= From + Bytes) {
    return memcpy(Destination, Source, Bytes);
  }
  // Overlapping with the destination above: copy backwards.
  To += Bytes - 1;
  From += Bytes - 1;
  asm volatile("std; rep movsb; cld" : "+D"(To), "+S"(From), "+c"(Bytes)::"memory");
  return Destination;
}

void* memset(void* Destination, int Value, size_t Bytes) {
  void* Result = Destination;
  asm volatile("rep stosb" : "+D"(Destination), "+c"(Bytes) : "a"(Value) : "memory");
  return Result;
}

int memcmp(const void* Left, const void* Right, size_t Bytes) {
  const auto* A = static_cast<const unsigned char*>(Left);
  const auto* B = static_cast<const unsigned char*>(Right);
  for (size_t Index = 0; Index < Bytes; ++Index) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

} // extern "C"
