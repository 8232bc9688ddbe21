// The format engine. It keeps no state between calls, allocates nothing and writes every output
// byte through EmitRepeated (runs of one byte) or EmitCharacters (runs of text), which never reach
// the end limit: output that does not fit is cut wherever it meets the limit, and the last byte of
// the buffer is kept for the terminating zero.
#include "Library/BasePrintLib/PrintLibInternal.h"

#include "Library/BaseLib/BaseLib.h"
#include "Library/SerialDebugLib/SerialDebugLib.h"

namespace {

// Every variadic argument occupies one slot of this size in the firmware calling convention.
constexpr UINT64 ARGUMENT_SLOT_SIZE = 8;
constexpr UINTN HIGHEST_ADDRESS = ~UINTN{0};

// Both hexadecimal conversions print upper-case digits.
constexpr CHAR8 DIGIT_CHARACTERS[] = "0123456789ABCDEF";
constexpr UINT64 DECIMAL_BASE = 10;
constexpr UINT64 HEXADECIMAL_BASE = 16;
constexpr UINT64 DIGITS_PER_GROUP = 3;
constexpr CHAR8 GROUP_SEPARATOR = ',';

constexpr UINT64 LOW_32_BITS = 0xFFFFFFFF;
constexpr UINT64 NO_LIMIT = ~UINT64{0};
constexpr UINT64 TWO_BYTE_CHARACTER_SIZE = 2;
constexpr UINT64 BITS_PER_BYTE = 8;

constexpr const CHAR8* NULL_STRING_TEXT = "<null string>";
constexpr const CHAR8* LINE_END_TEXT = "\r\n";
constexpr const CHAR8* CARRIAGE_RETURN_TEXT = "\r";
constexpr const CHAR8* EMPTY_TEXT = "";

// The state of one output item, reset at the start of every item. The flags are bits of one word:
// reset and copied as one, they take far less code in the image than eleven separate bools, which
// the compiler keeps in a register or stack slot each.
struct ConversionSpec {
  bool LeftAlign : 1;
  bool ForceSign : 1;
  bool BlankSign : 1;
  bool GroupThousands : 1;
  bool Wide64 : 1;
  bool ZeroFill : 1;
  bool HexRadix : 1;
  bool UnsignedValue : 1;
  bool HasWidth : 1;
  bool HasPrecision : 1;
  bool TwoByteText : 1;
  UINT64 Width;
  UINT64 Precision;
};
static_assert(sizeof(ConversionSpec) == 3 * sizeof(UINT64), "the flags share one word");

ConversionSpec ResetSpec() {
  ConversionSpec Spec = {};
  Spec.Precision = 1;
  return Spec;
}

// Fill counts are differences of unsigned values read as signed, so a width or precision that came
// through '*' as a negative number is a huge unsigned value that fills nothing.
INT64 FillCount(UINT64 Target, UINT64 Used) {
  return static_cast<INT64>(Target - Used);
}

UINT64 Larger(UINT64 First, UINT64 Second) {
  return First > Second ? First : Second;
}

// The cursor may be unaligned (a test can point it anywhere), so the slot is copied byte-wise.
UINT64 FetchArgument(ARGUMENT_CURSOR& Arguments) {
  UINT64 Slot;
  __builtin_memcpy(&Slot, Arguments, sizeof(Slot));
  Arguments += ARGUMENT_SLOT_SIZE;
  return Slot;
}

template <typename T> T* SlotPointer(UINT64 Slot) {
  return reinterpret_cast<T*>(static_cast<UINTN>(Slot));
}

// The format characters that start an item of their own; every other byte is an item that prints
// itself.
bool StartsItem(CHAR8 Character) {
  return Character == 0 || Character == '%' || Character == '\n' || Character == '\r';
}

// How many of Count bytes fit before End; nothing fits once the cursor has reached it.
UINT64 ClipToEnd(const CHAR8* Cursor, const CHAR8* End, UINT64 Count) {
  const UINT64 Room = Cursor < End ? static_cast<UINT64>(End - Cursor) : 0;
  return Count < Room ? Count : Room;
}

// Writes Count characters taken Step bytes apart (a 2-byte character as its low byte), stopping
// before End like EmitRepeated: the run is cut once instead of testing the end before every byte.
CHAR8* EmitCharacters(CHAR8* Cursor, const CHAR8* End, const void* Characters, UINT64 Count,
                      UINT64 Step) {
  const UINT8* Bytes = static_cast<const UINT8*>(Characters);
  const UINT64 Written = ClipToEnd(Cursor, End, Count);
  for (UINT64 Index = 0; Index < Written; ++Index) {
    Cursor[Index] = static_cast<CHAR8>(Bytes[Index * Step]);
  }
  return Cursor + Written;
}

// A line feed or carriage return starts a line end; the other of the two joins it when it follows
// at once. Format points after First and is moved past a joined character.
const CHAR8* TakeLineEnd(CHAR8 First, const CHAR8*& Format) {
  const CHAR8 Joined = First == '\n' ? '\r' : '\n';
  if (*Format == Joined) {
    ++Format;
    return LINE_END_TEXT;
  }
  return First == '\n' ? LINE_END_TEXT : CARRIAGE_RETURN_TEXT;
}

CHAR8* EmitText(CHAR8* Cursor, const CHAR8* End, const CHAR8* Text) {
  return EmitCharacters(Cursor, End, Text, AsciiStrnLenS(Text, NO_LIMIT), 1);
}

// Characters before the zero character, at most Limit.
UINT64 TextLength(const UINT8* Text, bool TwoByteText, UINT64 Limit) {
  if (!TwoByteText) {
    return AsciiStrnLenS(reinterpret_cast<const CHAR8*>(Text), Limit);
  }
  UINT64 Length = 0;
  for (const UINT8* Character = Text; Length < Limit && (Character[0] != 0 || Character[1] != 0);
       Character += TWO_BYTE_CHARACTER_SIZE) {
    ++Length;
  }
  return Length;
}

// Text is zero-ended: 1-byte characters, or 2-byte little-endian characters written as their low 8
// bits when TwoByteText is on. Precision is the item's precision as the conversion means it.
CHAR8* LayOutText(CHAR8* Cursor, const CHAR8* End, const ConversionSpec& Spec, UINT64 Precision,
                  const void* Text) {
  const UINT64 Step = Spec.TwoByteText ? TWO_BYTE_CHARACTER_SIZE : 1;
  const UINT64 Length = TextLength(static_cast<const UINT8*>(Text), Spec.TwoByteText,
                                   Spec.HasPrecision ? Precision : NO_LIMIT);
  Precision = Larger(Precision, Length);

  if (Spec.HasWidth && !Spec.LeftAlign) {
    Cursor = EmitRepeated(Cursor, End, FillCount(Spec.Width, Precision), ' ');
  }
  Cursor = EmitRepeated(Cursor, End, FillCount(Precision, Length), ' ');
  Cursor = EmitCharacters(Cursor, End, Text, Length, Step);
  if (Spec.HasWidth && Spec.LeftAlign) {
    Cursor = EmitRepeated(Cursor, End, FillCount(Spec.Width, Precision), ' ');
  }
  return Cursor;
}

// Digits are produced least significant first, backwards from Digits, by repeated division. Each
// base has its own loop with a constant divisor, so a compiler optimising for speed multiplies and
// shifts instead of issuing a division instruction for every digit (one optimising for size keeps
// the shorter division).
CHAR8* PutDecimalDigits(CHAR8* Digits, UINT64 Value, bool Grouped) {
  UINT64 InGroup = 0;
  do {
    if (Grouped && InGroup == DIGITS_PER_GROUP) {
      *--Digits = GROUP_SEPARATOR;
      InGroup = 0;
    }
    *--Digits = DIGIT_CHARACTERS[Value % DECIMAL_BASE];
    Value /= DECIMAL_BASE;
    ++InGroup;
  } while (Value != 0);
  return Digits;
}

CHAR8* PutHexadecimalDigits(CHAR8* Digits, UINT64 Value) {
  do {
    *--Digits = DIGIT_CHARACTERS[Value % HEXADECIMAL_BASE];
    Value /= HEXADECIMAL_BASE;
  } while (Value != 0);
  return Digits;
}

CHAR8* LayOutNumber(CHAR8* Cursor, const CHAR8* End, ConversionSpec Spec, UINT64 Slot,
                    CHAR8* Scratch) {
  UINT64 Value = Slot;
  if (!Spec.Wide64) {
    const UINT32 Low = static_cast<UINT32>(Slot & LOW_32_BITS);
    const bool Signed = !Spec.HexRadix && !Spec.UnsignedValue;
    Value = Signed ? static_cast<UINT64>(static_cast<INT64>(static_cast<INT32>(Low))) : Low;
  }

  CHAR8 Sign = 0;
  if (Spec.ForceSign) {
    Sign = '+';
  } else if (Spec.BlankSign) {
    Sign = ' ';
  }
  const bool Grouped = !Spec.HexRadix && Spec.GroupThousands;
  if (Grouped) {
    Spec.ZeroFill = false;
    Spec.Precision = 1;
  }
  if (!Spec.HexRadix && !Spec.UnsignedValue && static_cast<INT64>(Value) < 0) {
    Sign = '-';
    Value = 0 - Value;
  }

  CHAR8* const DigitsEnd = Scratch + CONVERSION_SCRATCH_SIZE;
  CHAR8* Digits = DigitsEnd;
  if (Value != 0 || Spec.Precision != 0) {
    Digits = Spec.HexRadix ? PutHexadecimalDigits(DigitsEnd, Value)
                           : PutDecimalDigits(DigitsEnd, Value, Grouped);
  }

  UINT64 Length = static_cast<UINT64>(DigitsEnd - Digits);
  if (Sign != 0) {
    ++Length;
    ++Spec.Precision;
  }
  if (Spec.ZeroFill && Spec.HasWidth && !Spec.LeftAlign && !Spec.HasPrecision) {
    Spec.Precision = Spec.Width;
  }
  const UINT64 FieldPrecision = Larger(Spec.Precision, Length);

  if (Spec.HasWidth && !Spec.LeftAlign) {
    Cursor = EmitRepeated(Cursor, End, FillCount(Spec.Width, FieldPrecision), ' ');
  }
  if (Sign != 0) {
    Cursor = EmitRepeated(Cursor, End, 1, static_cast<UINT8>(Sign));
  }
  Cursor = EmitRepeated(Cursor, End, FillCount(FieldPrecision, Length), '0');
  Cursor = EmitCharacters(Cursor, End, Digits, static_cast<UINT64>(DigitsEnd - Digits), 1);
  if (Spec.HasWidth && Spec.LeftAlign) {
    Cursor = EmitRepeated(Cursor, End, FillCount(Spec.Width, FieldPrecision), ' ');
  }
  return Cursor;
}

// Lays out one conversion whose '%' has been consumed; returns where the next item starts.
const CHAR8* FormatConversion(const CHAR8* Format, CHAR8*& Cursor, const CHAR8* End,
                              ARGUMENT_CURSOR& Arguments, CHAR8* Scratch) {
  ConversionSpec Spec = ResetSpec();
  for (bool Parsing = true; Parsing;) {
    switch (*Format) {
    case '-':
      Spec.LeftAlign = true;
      ++Format;
      break;
    case '+':
      Spec.ForceSign = true;
      ++Format;
      break;
    case ' ':
      Spec.BlankSign = true;
      ++Format;
      break;
    case ',':
      Spec.GroupThousands = true;
      ++Format;
      break;
    case '.':
      Spec.HasPrecision = true;
      ++Format;
      break;
    case 'l':
    case 'L':
      Spec.Wide64 = true;
      ++Format;
      break;
    case '*':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      UINT64 Number = 0;
      if (*Format == '*') {
        Number = FetchArgument(Arguments);
        ++Format;
      } else {
        if (*Format == '0' && !Spec.HasPrecision) {
          Spec.ZeroFill = true;
        }
        for (; *Format >= '0' && *Format <= '9'; ++Format) {
          Number = Number * DECIMAL_BASE + static_cast<UINT64>(*Format - '0');
        }
      }
      if (Spec.HasPrecision) {
        Spec.Precision = Number;
      } else {
        Spec.Width = Number;
        Spec.HasWidth = true;
      }
      break;
    }
    default:
      Parsing = false;
      break;
    }
  }

  const CHAR8 Conversion = *Format;
  if (Conversion == 0) {
    // The format ended inside the conversion: an empty text, still filled to the width. The zero
    // stays the current character, so the item loop ends after this item.
    Cursor = LayOutText(Cursor, End, Spec, 0, EMPTY_TEXT);
    return Format;
  }
  ++Format;

  // The strings of %a, %s and %S are limited only by an explicit precision.
  const UINT64 StringPrecision = Spec.HasPrecision ? Spec.Precision : 0;
  UINT64 Precision = Spec.Precision;
  const void* Text = nullptr;
  bool IsNumber = true;
  switch (Conversion) {
  case 'd':
    break;
  case 'u':
    Spec.UnsignedValue = true;
    Spec.ForceSign = false;
    break;
  case 'p':
    Spec.Wide64 = true;
    Spec.ForceSign = false;
    Spec.BlankSign = false;
    [[fallthrough]];
  case 'X':
    Spec.ZeroFill = true;
    [[fallthrough]];
  case 'x':
    Spec.HexRadix = true;
    break;
  default:
    IsNumber = false;
    break;
  }
  if (IsNumber) {
    Cursor = LayOutNumber(Cursor, End, Spec, FetchArgument(Arguments), Scratch);
    return Format;
  }

  switch (Conversion) {
  case 'a': {
    const CHAR8* String = SlotPointer<const CHAR8>(FetchArgument(Arguments));
    Text = String != nullptr ? String : NULL_STRING_TEXT;
    Precision = StringPrecision;
    break;
  }
  case 's':
  case 'S': {
    const CHAR16* String = SlotPointer<const CHAR16>(FetchArgument(Arguments));
    Spec.TwoByteText = String != nullptr;
    Text = String != nullptr ? static_cast<const void*>(String) : NULL_STRING_TEXT;
    Precision = StringPrecision;
    break;
  }
  case 'c': {
    // One 2-byte character followed by a zero character, built in the scratch buffer.
    const UINT64 Character = FetchArgument(Arguments);
    Scratch[0] = static_cast<CHAR8>(Character & 0xFF);
    Scratch[1] = static_cast<CHAR8>((Character >> BITS_PER_BYTE) & 0xFF);
    Scratch[2] = 0;
    Scratch[3] = 0;
    Spec.TwoByteText = true;
    Text = Scratch;
    break;
  }
  case 'g':
    Text = RenderGuidText(SlotPointer<const EFI_GUID>(FetchArgument(Arguments)), Scratch);
    break;
  case 't':
    Text = RenderTimeText(SlotPointer<const EFI_TIME>(FetchArgument(Arguments)), Scratch);
    break;
  case 'r':
    Text = RenderStatusText(FetchArgument(Arguments), Scratch);
    break;
  case '\n':
  case '\r':
    Text = TakeLineEnd(Conversion, Format);
    break;
  default:
    // Unrecognised conversions print themselves, so "%%" prints '%'.
    Scratch[0] = Conversion;
    Scratch[1] = 0;
    Text = Scratch;
    break;
  }

  Cursor = LayOutText(Cursor, End, Spec, Precision, Text);
  return Format;
}

} // namespace

// The end test is made once for the whole run: the count is cut to the room left before End.
CHAR8* EmitRepeated(CHAR8* Cursor, const CHAR8* End, INT64 Count, UINT64 Character) {
  if (Count <= 0) {
    return Cursor;
  }
  const CHAR8 Byte = static_cast<CHAR8>(Character & 0xFF);
  const UINT64 Written = ClipToEnd(Cursor, End, static_cast<UINT64>(Count));
  for (UINT64 Index = 0; Index < Written; ++Index) {
    Cursor[Index] = Byte;
  }
  return Cursor + Written;
}

UINT64 FormatTextList(CHAR8* Buffer, UINT64 BufferSize, const CHAR8* Format,
                      ARGUMENT_CURSOR ArgumentList) {
  // The reports quote these checks token for token, so their spelling is kept as it stands.
  // clang-format off
  if (BufferSize != 0) {
    ASSERT((Buffer != ((void *) 0)));
    if (Buffer == nullptr) {
      return 0;
    }
    ASSERT((Format != ((void *) 0)));
    if (Format == nullptr) {
      return 0;
    }
  }
  ASSERT((AsciiStrnLenS (Format, (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) + 1) <= (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength)));
  // clang-format on
  if (AsciiStrnLenS(Format, _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength + 1) >
      _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) {
    return 0;
  }
  if (BufferSize == 0) {
    return 0;
  }

  // The last byte is kept for the zero. A size reaching past the top of the address space is cut
  // to it, so that the end limit cannot wrap around below the buffer and lose the zero.
  const UINTN BufferAddress = reinterpret_cast<UINTN>(Buffer);
  const UINT64 Room = BufferSize - 1;
  const UINT64 Addressable = HIGHEST_ADDRESS - BufferAddress - 1;
  CHAR8* const End = Buffer + (Room < Addressable ? Room : Addressable);

  CHAR8 Scratch[CONVERSION_SCRATCH_SIZE];
  CHAR8* Cursor = Buffer;
  // The end limit is only tested between items; inside an item the emitters stop at it. A run of
  // plain characters is copied at once: cut at the end limit, it writes what its items one by one
  // would have written before the loop stopped at the limit.
  while (*Format != 0 && Cursor < End) {
    const CHAR8* const Item = Format++;
    if (*Item == '%') {
      Format = FormatConversion(Format, Cursor, End, ArgumentList, Scratch);
    } else if (*Item == '\n' || *Item == '\r') {
      Cursor = EmitText(Cursor, End, TakeLineEnd(*Item, Format));
    } else {
      while (!StartsItem(*Format)) {
        ++Format;
      }
      Cursor = EmitCharacters(Cursor, End, Item, static_cast<UINT64>(Format - Item), 1);
    }
  }
  EmitRepeated(Cursor, End + 1, 1, 0);
  return static_cast<UINT64>(Cursor - Buffer);
}

UINT64 EFIAPI FormatText(CHAR8* Buffer, UINT64 BufferSize, const CHAR8* Format, ...) {
  ARGUMENT_CURSOR Arguments;
  __builtin_ms_va_start(Arguments, Format);
  const UINT64 Count = FormatTextList(Buffer, BufferSize, Format, Arguments);
  __builtin_ms_va_end(Arguments);
  return Count;
}
