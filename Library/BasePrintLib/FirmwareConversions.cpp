// The firmware conversions of the format engine: %g (a GUID in registry form), %t (a date and a
// time) and %r (a status by name). Each renders into the engine's scratch buffer through the
// engine itself, passing every field widened to one 64-bit argument.
#include "Library/BasePrintLib/PrintLibInternal.h"

namespace {

constexpr const CHAR8* NULL_GUID_TEXT = "<null guid>";
constexpr const CHAR8* NULL_TIME_TEXT = "<null time>";
constexpr const CHAR8* GUID_FORMAT = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
// Month first, then day and year; seconds are not shown.
constexpr const CHAR8* TIME_FORMAT = "%02d/%02d/%04d  %02d:%02d";
// No 'l': a status without a name prints its low 32 bits.
constexpr const CHAR8* STATUS_FORMAT = "%08X";

constexpr UINT64 WARNING_COUNT = 5;
constexpr UINT64 ERROR_COUNT = 33;
// The first error's name follows success and the warnings.
constexpr UINT64 FIRST_ERROR_INDEX = WARNING_COUNT + 1;
constexpr UINT64 NO_STATUS_NAME = FIRST_ERROR_INDEX + ERROR_COUNT;

// Success, the warnings 1 to 5, then the errors 1 to 33. Only read while compiling: the image
// carries the packed table below.
constexpr const CHAR8* STATUS_NAME_LIST[] = {
    "Success",                  //  0
    "Warning Unknown Glyph",    //  warning 1
    "Warning Delete Failure",   //  warning 2
    "Warning Write Failure",    //  warning 3
    "Warning Buffer Too Small", //  warning 4
    "Warning Stale Data",       //  warning 5
    "Load Error",               //  error 1
    "Invalid Parameter",        //  error 2
    "Unsupported",              //  error 3
    "Bad Buffer Size",          //  error 4
    "Buffer Too Small",         //  error 5
    "Not Ready",                //  error 6
    "Device Error",             //  error 7
    "Write Protected",          //  error 8
    "Out of Resources",         //  error 9
    "Volume Corrupt",           //  error 10
    "Volume Full",              //  error 11
    "No Media",                 //  error 12
    "Media changed",            //  error 13
    "Not Found",                //  error 14
    "Access Denied",            //  error 15
    "No Response",              //  error 16
    "No mapping",               //  error 17
    "Time out",                 //  error 18
    "Not started",              //  error 19
    "Already started",          //  error 20
    "Aborted",                  //  error 21
    "ICMP Error",               //  error 22
    "TFTP Error",               //  error 23
    "Protocol Error",           //  error 24
    "Incompatible Version",     //  error 25
    "Security Violation",       //  error 26
    "CRC Error",                //  error 27
    "End of Media",             //  error 28
    "Reserved (29)",            //  error 29
    "Reserved (30)",            //  error 30
    "End of File",              //  error 31
    "Invalid Language",         //  error 32
    "Compromised Data",         //  error 33
};
constexpr UINT64 STATUS_NAME_COUNT = sizeof(STATUS_NAME_LIST) / sizeof(STATUS_NAME_LIST[0]);
static_assert(STATUS_NAME_COUNT == FIRST_ERROR_INDEX + ERROR_COUNT,
              "one name for success, each warning and each error");

constexpr UINT64 PackedLength(const CHAR8* const* Names, UINT64 Count) {
  UINT64 Length = 0;
  for (UINT64 Index = 0; Index < Count; ++Index) {
    for (const CHAR8* Character = Names[Index]; *Character != '\0'; ++Character) {
      ++Length;
    }
    ++Length;
  }
  return Length;
}

// The names one after the other, each with its zero, and where each starts. Offsets instead of 39
// pointers keep the table free of addresses the loader would have to relocate.
struct STATUS_NAME_TABLE {
  CHAR8 Texts[PackedLength(STATUS_NAME_LIST, STATUS_NAME_COUNT)];
  UINT16 Start[STATUS_NAME_COUNT];
};

constexpr STATUS_NAME_TABLE PackStatusNames() {
  STATUS_NAME_TABLE Table = {};
  UINT64 Length = 0;
  for (UINT64 Index = 0; Index < STATUS_NAME_COUNT; ++Index) {
    Table.Start[Index] = static_cast<UINT16>(Length);
    const CHAR8* Character = STATUS_NAME_LIST[Index];
    do {
      Table.Texts[Length++] = *Character;
    } while (*Character++ != '\0');
  }
  return Table;
}

constexpr STATUS_NAME_TABLE mStatusNames = PackStatusNames();
static_assert(sizeof(mStatusNames.Texts) < (1u << 16), "offsets fit 16 bits");

// GUID and time records may be unaligned; fields are read byte-wise, little-endian.
template <typename T> UINT64 ReadField(const void* Record, UINT64 Offset) {
  T Value;
  __builtin_memcpy(&Value, static_cast<const UINT8*>(Record) + Offset, sizeof(Value));
  return Value;
}

// Index of the status's name in mStatusNames, or NO_STATUS_NAME.
UINT64 StatusNameIndex(EFI_STATUS Status) {
  if (!EFI_ERROR(Status)) {
    return Status <= WARNING_COUNT ? Status : NO_STATUS_NAME;
  }
  const UINT64 Code = Status & ~EFI_ERROR_BIT;
  return Code >= 1 && Code <= ERROR_COUNT ? FIRST_ERROR_INDEX + Code - 1 : NO_STATUS_NAME;
}

} // namespace

const CHAR8* RenderGuidText(const EFI_GUID* Guid, CHAR8* Scratch) {
  if (Guid == nullptr) {
    return NULL_GUID_TEXT;
  }
  const UINT8* Data4 = reinterpret_cast<const UINT8*>(Guid) + offsetof(EFI_GUID, Data4);
  FormatText(Scratch, CONVERSION_SCRATCH_SIZE, GUID_FORMAT,
             ReadField<UINT32>(Guid, offsetof(EFI_GUID, Data1)),
             ReadField<UINT16>(Guid, offsetof(EFI_GUID, Data2)),
             ReadField<UINT16>(Guid, offsetof(EFI_GUID, Data3)), UINT64{Data4[0]}, UINT64{Data4[1]},
             UINT64{Data4[2]}, UINT64{Data4[3]}, UINT64{Data4[4]}, UINT64{Data4[5]},
             UINT64{Data4[6]}, UINT64{Data4[7]});
  return Scratch;
}

const CHAR8* RenderTimeText(const EFI_TIME* Time, CHAR8* Scratch) {
  if (Time == nullptr) {
    return NULL_TIME_TEXT;
  }
  FormatText(Scratch, CONVERSION_SCRATCH_SIZE, TIME_FORMAT,
             ReadField<UINT8>(Time, offsetof(EFI_TIME, Month)),
             ReadField<UINT8>(Time, offsetof(EFI_TIME, Day)),
             ReadField<UINT16>(Time, offsetof(EFI_TIME, Year)),
             ReadField<UINT8>(Time, offsetof(EFI_TIME, Hour)),
             ReadField<UINT8>(Time, offsetof(EFI_TIME, Minute)));
  return Scratch;
}

const CHAR8* RenderStatusText(EFI_STATUS Status, CHAR8* Scratch) {
  const UINT64 Index = StatusNameIndex(Status);
  if (Index != NO_STATUS_NAME) {
    return &mStatusNames.Texts[mStatusNames.Start[Index]];
  }
  FormatText(Scratch, CONVERSION_SCRATCH_SIZE, STATUS_FORMAT, Status);
  return Scratch;
}
