// The exact serial line a failed check in a driver source reports. The line number is looked up
// in the source itself, by the text of the check, so that editing the source above a check does
// not break the tests that expect its report.
#pragma once

#include <fstream>
#include <string>

namespace AssertionLines {

// The driver sources are read from the tree the tests were built from.
inline std::ifstream OpenSource(const std::string& Source) {
  return std::ifstream(std::string(VESK_SOURCE_DIR) + Source);
}

// The number of the line of Source (relative to the tree) holding the Nth (from 0) occurrence of
// Check; 0 if there is none.
inline int LineOf(const std::string& Source, const std::string& Check, int Nth = 0) {
  std::ifstream File = OpenSource(Source);
  std::string Line;
  int Number = 0;
  while (std::getline(File, Line)) {
    ++Number;
    if (Line.find(Check) != std::string::npos && Nth-- == 0) {
      return Number;
    }
  }
  return 0;
}

// "ASSERT [VeskLapicTimerDxe] Source(N): Text\r\n" for the Nth check written ASSERT(Text) in
// Source, or for the Nth macro call Check that reports Text.
inline std::string Expected(const std::string& Source, const std::string& Text, int Nth = 0,
                            const std::string& Check = "") {
  const int Line = LineOf(Source, Check.empty() ? "ASSERT(" + Text + ");" : Check, Nth);
  return "ASSERT [VeskLapicTimerDxe] " + Source + "(" + std::to_string(Line) + "): " + Text +
         "\r\n";
}

} // namespace AssertionLines
