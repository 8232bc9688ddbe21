// The bounded and the checked string-length routines.
#include "Library/BaseLib/BaseLib.h"
#include "Tests/MachineTest.h"

#include <regex>
#include <string>

namespace {

constexpr UINT64 MAXIMUM_LENGTH = 1000000;

using StringLength = MachineTest;

TEST_F(StringLength, BoundedLengthReadsNoFurtherThanItsLimit) {
  EXPECT_EQ(AsciiStrnLenS(nullptr, 10), 0u);
  EXPECT_EQ(AsciiStrnLenS("abc", 0), 0u);
  EXPECT_EQ(AsciiStrnLenS("abc", 10), 3u);
  EXPECT_EQ(AsciiStrnLenS("", 10), 0u);
  // No zero byte at all: the sanitizer build would catch a read past the array.
  const CHAR8 Unended[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(AsciiStrnLenS(Unended, sizeof(Unended)), 4u);
  EXPECT_EQ(AsciiStrnLenS(Unended, 2), 2u);
}

TEST_F(StringLength, CheckedLengthReportsEveryCharacterBeyondTheMaximum) {
  EXPECT_EQ(AsciiTextLength(""), 0u);
  EXPECT_EQ(AsciiTextLength("abc\0def"), 3u);
  const std::string Longest(MAXIMUM_LENGTH, 'x');
  EXPECT_EQ(AsciiTextLength(Longest.c_str()), MAXIMUM_LENGTH);
  EXPECT_EQ(Machine().HaltCount, 0);

  // Released reports let the count go on.
  const std::string TwoTooMany(MAXIMUM_LENGTH + 2, 'x');
  EXPECT_EQ(AsciiTextLength(TwoTooMany.c_str()), MAXIMUM_LENGTH + 2);
  EXPECT_EQ(Machine().HaltCount, 2);
  const std::string Line = R"(ASSERT \[VeskLapicTimerDxe\] Library/BaseLib/String\.cpp\(\d+\): )"
                           R"(Length < _gPcd_FixedAtBuild_PcdMaximumAsciiStringLength\r\n)";
  const std::string Output = Machine().TakeSerialOutput();
  EXPECT_TRUE(std::regex_match(Output, std::regex(Line + Line))) << Output;

  const std::string OneTooMany(MAXIMUM_LENGTH + 1, 'x');
  EXPECT_TRUE(Machine().RunUntilHalt([&] { AsciiTextLength(OneTooMany.c_str()); }));
}

} // namespace
