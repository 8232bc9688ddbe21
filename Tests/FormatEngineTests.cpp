// The format engine, checked byte for byte on buffers guarded against writes past the text.
#include "Library/BasePrintLib/PrintLibInternal.h"
#include "Tests/MachineTest.h"

#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr char UNTOUCHED = '\x5A';
constexpr UINT64 GUARD_BYTES = 16;
constexpr UINT64 MAXIMUM_FORMAT_LENGTH = 1000000;

UINT64 Slot(const void* Pointer) {
  return reinterpret_cast<UINTN>(Pointer);
}

struct Formatted {
  std::string Text; // the Count characters written, zero bytes inside included
  UINT64 Count;
};

// Formats from an array of argument slots; checks the zero after the text and that nothing else
// in the buffer (or past it) was touched.
Formatted Format(const char* FormatString, std::vector<UINT64> Slots, UINT64 BufferSize = 256) {
  std::vector<CHAR8> Buffer(BufferSize + GUARD_BYTES, UNTOUCHED);
  UINT64 Count = FormatTextList(Buffer.data(), BufferSize, FormatString,
                                reinterpret_cast<ARGUMENT_CURSOR>(Slots.data()));
  EXPECT_LT(Count, BufferSize) << FormatString;
  EXPECT_EQ(Buffer[Count], 0) << FormatString;
  for (UINT64 Index = Count + 1; Index < Buffer.size(); ++Index) {
    EXPECT_EQ(Buffer[Index], UNTOUCHED) << FormatString << " byte " << Index;
  }
  return {std::string(Buffer.data(), Count), Count};
}

struct Example {
  const char* FormatString;
  std::vector<UINT64> Slots;
  std::string Expected;
};

void ExpectAll(const std::vector<Example>& Examples) {
  for (const auto& Case : Examples) {
    Formatted Result = Format(Case.FormatString, Case.Slots);
    EXPECT_EQ(Result.Text, Case.Expected) << "format '" << Case.FormatString << "'";
    EXPECT_EQ(Result.Count, Case.Expected.size()) << "format '" << Case.FormatString << "'";
  }
}

constexpr UINT64 MINUS(INT64 Value) {
  return static_cast<UINT64>(Value);
}

const char* const ABCDEF = "abcdef";
const char* const ABC = "abc";

using FormatEngine = MachineTest;

TEST_F(FormatEngine, Numbers) {
  const std::vector<UINT64> Fortytwo(8, 42);
  ExpectAll({
      {"%d/%5d/%-5d/%05d/%+d/% d/%.3d/%8.3d", Fortytwo,
       "42/   42/42   /00042/+42/ 42/042/     042"},
      {"%05d", {MINUS(-42)}, "-0042"},
      {"%+05d", {42}, "+0042"},
      {"%.5d", {MINUS(-42)}, "-00042"},
      {"%u/%x/%lX/%p",
       {MINUS(-1), MINUS(-1), MINUS(-1), 0x1000},
       "4294967295/FFFFFFFF/FFFFFFFFFFFFFFFF/1000"},
      {"%8x/%8X/%-8X/%+x", {0xABC, 0xABC, 0xABC, 0xABC}, "     ABC/00000ABC/ABC     /+ABC"},
      {"%,d", {1234567}, "1,234,567"},
      {"%,d", {MINUS(-1234567)}, "-1,234,567"},
      {"%,8d", {1234}, "   1,234"},
      {"%,05d", {1234}, "1,234"},
      // Without 'l' only the low 32 bits of the slot count.
      {"%d", {(1ULL << 32) + 5}, "5"},
      {"%d", {4294967295ULL}, "-1"},
      {"%x/%lx/%LX",
       {(1ULL << 33) - 1, (1ULL << 33) - 1, (1ULL << 33) - 1},
       "FFFFFFFF/1FFFFFFFF/1FFFFFFFF"},
      {"%ld", {1ULL << 63}, "-9223372036854775808"},
      {"%lu", {1ULL << 63}, "9223372036854775808"},
      {"%.0d|%.0x|%5.0d|%0d|%00d", {0, 0, 0, 0, 7}, "||     |0|7"},
      {"%+u|% u|%+p|% p|%+d|% d", {5, 5, 1, 1, 0, MINUS(-3)}, "5| 5|1|1|+0|-3"},
      {"%,d|%,d|%,u|%,x|%,ld",
       {0, 1000, 1234567, 0x1234567, 1ULL << 63},
       "0|1,000|1,234,567|1234567|-9,223,372,036,854,775,808"},
      {"%-05d|%.3x|%08.3d|%-+6d|", {42, 0xA, 42, 42}, "42   |00A|     042|+42   |"},
      {"%*d|%-*d|%.*d", {3, 7, 3, 7, 3, 7}, "  7|7  |007"},
      // Grouping turns the zero fill off; '+' wins over ' '.
      {"%0,10d|%+ d|% +d", {1234567, 42, 42}, " 1,234,567|+42|+42"},
  });
}

TEST_F(FormatEngine, Texts) {
  const std::u16string Wide = u"wide\u0141";
  ExpectAll({
      {"%.2a|%.10a|%10a|%-10a|%10.2a",
       {Slot(ABCDEF), Slot(ABCDEF), Slot(ABCDEF), Slot(ABCDEF), Slot(ABCDEF)},
       "ab|    abcdef|    abcdef|abcdef    |        ab"},
      {"%-10.8a", {Slot(ABC)}, "     abc  "},
      {"%.a|%.0a|%.0s|%s|%.3S",
       {Slot(ABC), Slot(ABC), Slot(Wide.c_str()), Slot(Wide.c_str()), Slot(Wide.c_str())},
       "a|||wideA|wid"},
      {"%a|%s|%.4S", {0, 0, 0}, "<null string>|<null string>|<nul"},
      {"[%a]", {Slot("")}, "[]"},
      {"%c|%c|%-3c|", {0, 0x141, 'x'}, " |A|x  |"},
      {"%q/%%/%5q/%hd", {}, "q/%/    q/hd"},
      {"%5%|%-3%|", {}, "    %|%  |"},
      // 'h' ends the conversion, so the next conversion takes the argument.
      {"%hd%d", {7}, "hd7"},
      {"x%5", {}, "x     "},
      {"x%-5", {}, "x     "},
      {"x%", {}, "x"},
      {"\xE9%a\xFF", {Slot("\x80")}, "\xE9\x80\xFF"},
  });
}

TEST_F(FormatEngine, LineEnds) {
  ExpectAll({
      {"a\nb\n\rc\rd\r\ne", {}, "a\r\nb\r\nc\rd\r\ne"},
      {"%5\n|%-4\r|%\r\n|", {}, "   \r\n|\r   |\r\n|"},
      {"%.1\n", {}, "\r"},
  });
}

TEST_F(FormatEngine, CountsAreSignedDifferencesOfUnsignedValues) {
  ExpectAll({
      // A negative width through '*' never fills.
      {"%*d|%-*d|", {MINUS(-5), 7, MINUS(-5), 7}, "7|7|"},
      // A negative precision is a huge one: the width minus it is 11, and it limits nothing.
      {"%10.*a", {MINUS(-1), Slot(ABC)}, "           abc"},
      // Without a width there is nothing to fill, however huge the precision.
      {"%-.*d|%.*d|%-.*a|", {MINUS(-5), 42, MINUS(-5), 42, MINUS(-5), Slot(ABC)}, "42|42|abc|"},
  });
  // A huge width fills up to the end of the buffer and no further.
  EXPECT_EQ(Format("%*d", {1ULL << 62, 7}, 8).Text, std::string(7, ' '));
}

TEST_F(FormatEngine, TwoByteCharacterWithZeroLowByteIsWrittenAsAZeroByte) {
  const std::u16string Wide = u"a\u0100b";
  ExpectAll({
      {"[%c]", {0x100}, std::string("[\0]", 3)},
      {"%s", {Slot(Wide.c_str())}, std::string("a\0b", 3)},
  });
}

TEST_F(FormatEngine, FormatTextPassesItsOwnArguments) {
  CHAR8 Buffer[64];
  UINT64 Count = FormatText(Buffer, sizeof(Buffer), "Period %,ld (100ns) %a=%r\n", UINT64{10000000},
                            "Status", EFI_INVALID_PARAMETER);
  EXPECT_EQ(std::string(Buffer), "Period 10,000,000 (100ns) Status=Invalid Parameter\r\n");
  EXPECT_EQ(Count, 52u);
}

TEST_F(FormatEngine, UnalignedArgumentCursor) {
  alignas(8) UINT8 Bytes[1 + 2 * sizeof(UINT64)] = {};
  const UINT64 Slots[] = {0x12345678, MINUS(-9)};
  std::memcpy(Bytes + 1, Slots, sizeof(Slots));
  CHAR8 Buffer[32];
  FormatTextList(Buffer, sizeof(Buffer), "%x %d", reinterpret_cast<ARGUMENT_CURSOR>(Bytes + 1));
  EXPECT_EQ(std::string(Buffer), "12345678 -9");
}

TEST_F(FormatEngine, OutputIsCutAtTheBufferEnd) {
  struct Cut {
    const char* FormatString;
    std::vector<UINT64> Slots;
    UINT64 BufferSize;
    std::string Expected;
  };
  const std::vector<Cut> Cuts = {
      {"Hello world", {}, 5, "Hell"},    {"Hello world", {}, 1, ""},
      {"abcd", {}, 5, "abcd"},           {"abcde", {}, 5, "abcd"},
      {"abc\n", {}, 5, "abc\r"},  // the line end loses its LF
      {"%d", {123456}, 4, "123"}, // inside a number
      {"%10a", {Slot("x")}, 6, "     "}, {"a%r", {EFI_UNSUPPORTED}, 6, "aUnsu"},
  };
  for (const auto& Case : Cuts) {
    Formatted Result = Format(Case.FormatString, Case.Slots, Case.BufferSize);
    EXPECT_EQ(Result.Text, Case.Expected) << Case.FormatString << " in " << Case.BufferSize;
  }
}

TEST_F(FormatEngine, ZeroSizeWritesNothingAndChecksNothingButTheFormatLength) {
  CHAR8 Buffer[4] = {UNTOUCHED, UNTOUCHED, UNTOUCHED, UNTOUCHED};
  EXPECT_EQ(FormatText(Buffer, 0, "Hello"), 0u);
  EXPECT_EQ(Buffer[0], UNTOUCHED);
  EXPECT_EQ(FormatText(nullptr, 0, nullptr), 0u);
  EXPECT_EQ(Machine().HaltCount, 0);
  EXPECT_EQ(Machine().SerialOutput(), "");
}

TEST_F(FormatEngine, SizeBeyondTheAddressSpaceStillEndsTheText) {
  CHAR8 Buffer[8];
  std::memset(Buffer, UNTOUCHED, sizeof(Buffer));
  EXPECT_EQ(FormatText(Buffer, ULLONG_MAX, "abc"), 3u);
  EXPECT_EQ(std::string(Buffer), "abc");
}

std::string EscapeForRegex(const std::string& Text) {
  return std::regex_replace(Text, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// One released assertion report from the engine with this expression text.
void ExpectEngineAssertion(const std::string& Expression) {
  EXPECT_EQ(Machine().HaltCount, 1);
  const std::string Output = Machine().TakeSerialOutput();
  EXPECT_TRUE(std::regex_match(
      Output,
      std::regex(
          R"(ASSERT \[VeskLapicTimerDxe\] Library/BasePrintLib/PrintLibInternal\.cpp\(\d+\): )" +
          EscapeForRegex(Expression) + "\r\n")))
      << Output;
  Machine().HaltCount = 0;
}

TEST_F(FormatEngine, ProgrammingErrorsAreReportedAndReturnZero) {
  CHAR8 Buffer[8];
  std::memset(Buffer, UNTOUCHED, sizeof(Buffer));
  EXPECT_EQ(FormatText(nullptr, 8, "x"), 0u);
  ExpectEngineAssertion("(Buffer != ((void *) 0))");
  EXPECT_EQ(FormatText(Buffer, sizeof(Buffer), nullptr), 0u);
  ExpectEngineAssertion("(Format != ((void *) 0))");
  EXPECT_EQ(Buffer[0], UNTOUCHED);

  const std::string TooLong(MAXIMUM_FORMAT_LENGTH + 1, 'x');
  const std::string LengthCheck =
      "(AsciiStrnLenS (Format, (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) + 1) <= "
      "(_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))";
  EXPECT_EQ(FormatText(Buffer, sizeof(Buffer), TooLong.c_str()), 0u);
  ExpectEngineAssertion(LengthCheck);
  EXPECT_EQ(Buffer[0], UNTOUCHED);
  EXPECT_EQ(FormatText(Buffer, 0, TooLong.c_str()), 0u);
  ExpectEngineAssertion(LengthCheck);

  // Unreleased, the report does not return.
  EXPECT_TRUE(Machine().RunUntilHalt([&] { FormatText(Buffer, sizeof(Buffer), TooLong.c_str()); }));

  const std::string Longest(MAXIMUM_FORMAT_LENGTH, 'x');
  EXPECT_EQ(Format(Longest.c_str(), {}, 8).Text, "xxxxxxx");
  EXPECT_EQ(Machine().HaltCount, 1);
}

TEST_F(FormatEngine, EmitRepeatedStopsBeforeTheEnd) {
  CHAR8 Buffer[6];
  std::memset(Buffer, UNTOUCHED, sizeof(Buffer));
  CHAR8* End = Buffer + 4;
  EXPECT_EQ(EmitRepeated(Buffer, End, 0, 'a'), Buffer);
  EXPECT_EQ(EmitRepeated(Buffer, End, -3, 'a'), Buffer);
  EXPECT_EQ(Buffer[0], UNTOUCHED);
  EXPECT_EQ(EmitRepeated(Buffer, End, 2, 0x141), Buffer + 2);
  EXPECT_EQ(EmitRepeated(Buffer + 2, End, 5, 'b'), End);
  EXPECT_EQ(EmitRepeated(End, End, 1, 'c'), End);
  EXPECT_EQ(std::string(Buffer, sizeof(Buffer)), std::string("AAbb") + UNTOUCHED + UNTOUCHED);
}

} // namespace
