// libFuzzer target for the format engine. The input chooses a buffer size, up to sixteen argument
// slots and a format, in one of two modes:
// - pointer mode: every slot points into a zero-padded copy of the input, or is null, so every
//   text, GUID and time the engine reads is valid memory;
// - integer mode: slots hold any 64-bit values, and the format's pointer conversions (a, s, S, g,
//   t) are turned into 'd' so none of them can take an integer for an address.
// Every fetch takes a format character ('*' or the conversion), so the slots are repeated for as
// many fetches as the format could make.
//
// Input layout: [size low][size high][mode and slot count] then eight value bytes per slot, then
// the format.
#include "Library/BasePrintLib/PrintLib.h"
#include "SimulatedMachine/SimulatedMachine.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t MAX_BUFFER_SIZE = 1024;
constexpr size_t MAX_SLOTS = 16;
constexpr size_t GUARD_MARGIN = 64;
constexpr UINT8 GUARD_BYTE = 0xA5;
constexpr UINT8 POINTER_MODE_BIT = 0x80;
// Enough zero bytes after the pool that a text, a 2-byte text, a GUID or a time that starts
// anywhere inside it ends inside it.
constexpr size_t POOL_PADDING = 32;

struct FormatRun {
  std::vector<UINT8> Buffer;
  UINT64 Count;
};

FormatRun RunOnce(UINT64 BufferSize, const CHAR8* Format, const UINT64* Slots) {
  FormatRun Run;
  Run.Buffer.assign(BufferSize + GUARD_MARGIN, GUARD_BYTE);
  // A zero-sized buffer may be null; give the engine null then, to check it writes nothing.
  CHAR8* Buffer = BufferSize == 0 ? nullptr : reinterpret_cast<CHAR8*>(Run.Buffer.data());
  Run.Count = FormatTextList(Buffer, BufferSize, Format,
                             reinterpret_cast<ARGUMENT_CURSOR>(const_cast<UINT64*>(Slots)));
  return Run;
}

void Check(bool Condition, const char* What) {
  if (!Condition) {
    __builtin_printf("format engine check failed: %s\n", What);
    std::abort();
  }
}

bool IsPointerConversion(CHAR8 Character) {
  return Character == 'a' || Character == 's' || Character == 'S' || Character == 'g' ||
         Character == 't';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size < 3) {
    return 0;
  }
  Machine().Reset();
  UINT64 BufferSize = (Data[0] | (Data[1] << 8)) % (MAX_BUFFER_SIZE + 1);
  bool PointerMode = (Data[2] & POINTER_MODE_BIT) != 0;
  size_t SlotCount = (Data[2] & ~POINTER_MODE_BIT) % (MAX_SLOTS + 1);
  size_t Offset = 3;

  // The pool stays put while the engine runs, so pointers into it are stable.
  std::vector<UINT8> Pool(Data, Data + Size);
  Pool.resize(Size + POOL_PADDING, 0);

  std::vector<UINT64> Values;
  for (; Values.size() < SlotCount && Offset + sizeof(UINT64) <= Size; Offset += sizeof(UINT64)) {
    UINT64 Value;
    std::memcpy(&Value, Data + Offset, sizeof(Value));
    if (PointerMode) {
      // Even offsets keep 2-byte texts aligned; an offset of 0 stands for a null pointer.
      UINT64 PoolOffset = (Value % Size) & ~UINT64{1};
      Value = PoolOffset == 0 ? 0 : reinterpret_cast<UINTN>(Pool.data() + PoolOffset);
    }
    Values.push_back(Value);
  }
  if (Values.empty()) {
    Values.push_back(0);
  }

  std::vector<CHAR8> Format(Data + Offset, Data + Size);
  if (!PointerMode) {
    for (CHAR8& Character : Format) {
      Character = IsPointerConversion(Character) ? 'd' : Character;
    }
  }
  Format.push_back('\0');
  std::vector<UINT64> Slots(Format.size());
  for (size_t Index = 0; Index < Slots.size(); ++Index) {
    Slots[Index] = Values[Index % Values.size()];
  }

  FormatRun First = RunOnce(BufferSize, Format.data(), Slots.data());
  Check(Machine().HaltCount == 0, "a valid call reported an assertion");
  if (BufferSize == 0) {
    Check(First.Count == 0, "count with a zero-sized buffer");
  } else {
    Check(First.Count <= BufferSize - 1, "count beyond the buffer");
    Check(First.Buffer[First.Count] == 0, "text not ended by a zero byte");
  }
  for (size_t Index = First.Count + (BufferSize == 0 ? 0 : 1); Index < First.Buffer.size();
       ++Index) {
    Check(First.Buffer[Index] == GUARD_BYTE, "byte after the text changed");
  }

  FormatRun Second = RunOnce(BufferSize, Format.data(), Slots.data());
  Check(Second.Count == First.Count && Second.Buffer == First.Buffer, "same input, other bytes");
  return 0;
}
