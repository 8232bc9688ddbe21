// The one routine the compiler calls on its own in the board check's image: memset, for the
// findings it zeroes before each run. The host build takes the C library's.
#if !__STDC_HOSTED__
extern "C" [[gnu::used]] void* memset(void* Destination, int Value, __SIZE_TYPE__ Count) {
  // Volatile, so that the compiler does not turn the loop back into a call of itself.
  volatile unsigned char* Byte = static_cast<unsigned char*>(Destination);
  while (Count-- != 0) {
    *Byte++ = static_cast<unsigned char>(Value);
  }
  return Destination;
}
#endif
