// The board check's decisions, each as one table: the verdict with its reasons (the frequency rule
// among them), and the options a loader can pass.
#include "TimerTestSupport.h"

#include "VeskBoardCheck/Decisions.h"
#include "VeskBoardCheck/Options.h"

#include <cstring>
#include <functional>
#include <string>

namespace {

using TimerTesting::Hex;

// A board that suits, for the verdict's rows to change one thing each.
BoardFindings SuitableBoard() {
  BoardFindings Board = {};
  Board.Cpu = {TRUE, FALSE, TRUE, 6, 0x8C, 1, TRUE, 0x86};
  Board.Cpu.TscDeadline = Board.InvariantTsc = Board.Arat = Board.ApicEnabled = TRUE;
  Board.Pit = Board.PmTimer = {TRUE, 20000000, 100};
  Board.Source = TscRateSource::Pit;
  Board.MeasuredHz = 20000000;
  Board.Pcd = PcdAnswer::Answered;
  Board.PcdHz = 20000000;
  Board.Token = PCD_TSC_FREQUENCY_TOKEN;
  Board.UartPresent = TRUE;
  Board.UartPort = DEBUG_UART_BASE;
  Board.ExerciseAsked = TRUE;
  Board.ExerciseFired = EXERCISE_DEADLINES;
  return Board;
}

std::string Verdict(const BoardFindings& Board) {
  CHAR8 Text[VERDICT_TEXT_SIZE];
  const VerdictKind Kind = FormatVerdict(Board, Text, sizeof(Text));
  EXPECT_LT(std::strlen(Text), sizeof(Text) - 1) << "the verdict was cut";
  // The kind returned is the one the text opens with.
  const std::string Opening[] = {"suits",
                                 "suits a build with -DVESK_TIMER_MODE=auto: ", "does not suit: "};
  EXPECT_EQ(std::string(Text).rfind(Opening[static_cast<int>(Kind)], 0), 0u) << Text;
  return Text;
}

struct VerdictCase {
  std::function<void(BoardFindings&)> Change;
  std::string Expected;
};

TEST(BoardCheckVerdict, NamesEveryReasonAndWarning) {
  const std::string Port = Hex(DEBUG_UART_BASE);
  const std::string Token = std::to_string(PCD_TSC_FREQUENCY_TOKEN);
  const std::string Off = "does not suit: configuration database rate ";
  const std::string Auto = "suits a build with -DVESK_TIMER_MODE=auto: ";
  const VerdictCase Cases[] = {
      {[](BoardFindings&) {}, "suits"},
      // The frequency rule: 1% either way suits, one hertz more does not.
      {[](BoardFindings& B) { B.PcdHz = 20200000; }, "suits"},
      {[](BoardFindings& B) { B.PcdHz = 20200001; },
       Off + "20200001 Hz is 11 per mille off the measured 20000000 Hz"},
      {[](BoardFindings& B) { B.PcdHz = 19800000; }, "suits"},
      {[](BoardFindings& B) { B.PcdHz = 19799999; },
       Off + "19799999 Hz is 11 per mille off the measured 20000000 Hz"},
      {[](BoardFindings& B) { B.PcdHz = 40000000; },
       Off + "40000000 Hz is 1000 per mille off the measured 20000000 Hz"},
      // Where only one-shot mode is sound, an auto build suits once its exercise passed.
      {[](BoardFindings& B) { B.Cpu.TscDeadline = FALSE; }, Auto + "no TSC-deadline mode"},
      {[](BoardFindings& B) { B.Cpu = {TRUE, FALSE, TRUE, 6, 0x55, 4, TRUE, 0}; },
       Auto + "TSC-deadline erratum on family 0x6 model 0x55 stepping 4: microcode 0x0 is below "
              "0x2000014, update to 0x2000014 or later for the default build"},
      {[](BoardFindings& B) { B.Cpu.TscDeadline = B.ExerciseAsked = FALSE; },
       Auto + "no TSC-deadline mode; with warnings: one-shot mode not exercised: run with "
              "--exercise"},
      {[](BoardFindings& B) { B.Cpu.TscDeadline = FALSE, B.ApicRate = TimerRefusal::NoCount; },
       "does not suit: the local APIC timer does not count"},
      {[](BoardFindings& B) { B.ApicRate = TimerRefusal::NoCount; }, "suits"},
      {[](BoardFindings& B) { B.ExerciseFired = 99; },
       "does not suit: exercise: 99 of 100 deadlines fired"},
      {[](BoardFindings& B) { B.ExerciseEarly = 2; },
       "does not suit: exercise: 2 deadlines fired early"},
      {[](BoardFindings& B) { B.ExerciseAsked = FALSE, B.ExerciseFired = 0; }, "suits"},
      // An exercise asked for but refused proves nothing.
      {[](BoardFindings& B) { B.Exercise = TimerRefusal::NoCpuArch, B.ExerciseFired = 0; },
       "suits, with warnings: exercise not run: no CPU Architectural Protocol"},
      {[](BoardFindings& B) { B.Cpu.TscDeadline = FALSE, B.Exercise = TimerRefusal::Counting; },
       Auto + "no TSC-deadline mode; with warnings: exercise not run: the local APIC timer is "
              "counting"},
      {[](BoardFindings& B) { B.MeasuredHz = 5000000000, B.PcdHz = 4294967295; },
       "does not suit: the TSC rate 5000000000 Hz does not fit the configuration database's 32 "
       "bits"},
      {[](BoardFindings& B) { B.InvariantTsc = FALSE; }, "suits, with warnings: TSC not invariant"},
      {[](BoardFindings& B) { B.Arat = FALSE; }, "suits, with warnings: no ARAT"},
      {[](BoardFindings& B) { B.ApicEnabled = FALSE; },
       "suits, with warnings: local APIC disabled"},
      {[](BoardFindings& B) { B.UartPresent = FALSE; }, "suits, with warnings: no UART at " + Port},
      {[](BoardFindings& B) { B.Cpu = {TRUE, FALSE, TRUE, 6, 0x3F, 3, TRUE, 0}; },
       "suits, with warnings: errata status unknown for family 0x6 model 0x3F stepping 3"},
      {[](BoardFindings& B) { B.Cpu = {TRUE, TRUE, TRUE, 6, 0x55, 4, FALSE, 0}; },
       "suits, with warnings: under a hypervisor"},
      {[](BoardFindings& B) {
         B.Pit = B.PmTimer = {};
         B.Source = TscRateSource::None, B.MeasuredHz = 0, B.PcdHz = 1;
       },
       "suits, with warnings: no reference clock"},
      {[](BoardFindings& B) { B.Pit = B.PmTimer = {}, B.Source = TscRateSource::Cpuid15; },
       "suits, with warnings: TSC rate from CPUID 0x15, not measured"},
      // The clocks 0.1% apart, or a spread of 1000 ppm, still agree; a hertz or a ppm more does
      // not.
      {[](BoardFindings& B) { B.PmTimer.Hz = 20020000, B.Pit.SpreadPpm = 1000; }, "suits"},
      {[](BoardFindings& B) { B.PmTimer.Hz = 20020001; },
       "suits, with warnings: 8254 and PM timer 1001 ppm apart, the 8254's rate used"},
      {[](BoardFindings& B) { B.PmTimer.Hz = 19979999; },
       "suits, with warnings: 8254 and PM timer 1001 ppm apart, the 8254's rate used"},
      {[](BoardFindings& B) { B.Pit.SpreadPpm = 1001, B.PmTimer.SpreadPpm = 5000; },
       "suits, with warnings: 8254 spread 1001 ppm; PM timer spread 5000 ppm"},
      {[](BoardFindings& B) {
         B.Pit = {FALSE, 0, 0}, B.Source = TscRateSource::PmTimer;
       },
       "suits"},
      {[](BoardFindings& B) { B.Pcd = PcdAnswer::NoDatabase; },
       "suits, with warnings: no configuration database"},
      {[](BoardFindings& B) { B.Pcd = PcdAnswer::NotAnswered; },
       "suits, with warnings: token " + Token + " not answered"},
      {[](BoardFindings& B) {
         B.Cpu.TscDeadline = B.Arat = FALSE, B.Pcd = PcdAnswer::NoDatabase, B.PcdHz = 1;
       },
       Auto + "no TSC-deadline mode; with warnings: no ARAT; no configuration database"},
  };
  for (const VerdictCase& Case : Cases) {
    BoardFindings Board = SuitableBoard();
    Case.Change(Board);
    EXPECT_EQ(Verdict(Board), Case.Expected);
  }

  // Every reason at once, with the longest numbers, still fits.
  BoardFindings Worst = {};
  Worst.Cpu = {TRUE, TRUE, TRUE, 6, 0x3F, 3, TRUE, 0};
  Worst.ExerciseAsked = TRUE;
  Worst.ExerciseEarly = EXERCISE_DEADLINES;
  Worst.Pit = {TRUE, MEASURED_HZ_LIMIT - 1, ~0ULL};
  Worst.PmTimer = {TRUE, 1, ~0ULL};
  Worst.Source = TscRateSource::Pit;
  Worst.MeasuredHz = MEASURED_HZ_LIMIT - 1;
  Worst.Pcd = PcdAnswer::NotAnswered;
  Worst.Token = LARGEST_TOKEN;
  Worst.UartPort = LARGEST_UART_PORT;
  const std::string Text = Verdict(Worst);
  EXPECT_EQ(Text.substr(Text.rfind(';')), "; token 4294967295 not answered");
}

struct OptionsCase {
  std::u16string Text;
  UINT64 Size; // bytes given (0: the whole text), which may stop short of its end
  OptionProblem Problem;
  std::string Expected; // "exercise token port" as read, or the word that is wrong
};

TEST(BoardCheckOptions, ShellLinesBareOptionsAndNothing) {
  using namespace std::string_literals;
  const std::string Token = std::to_string(PCD_TSC_FREQUENCY_TOKEN);
  const std::string Port = Hex(DEBUG_UART_BASE);
  const std::string Defaults = "0 " + Token + " " + Port;
  const std::string Exercise = "1 " + Token + " " + Port;
  const OptionsCase Cases[] = {
      {u""s, 0, OptionProblem::None, Defaults},
      {u"VeskBoardCheck.efi"s, 0, OptionProblem::None, Defaults},
      {u"VeskBoardCheck.efi --exercise"s, 0, OptionProblem::None, Exercise},
      {u"fs0:\\x\\VeskBoardCheck --token 9"s, 0, OptionProblem::None, "0 9 " + Port},
      {u"--port 0x2F8\t--exercise  --token 0x10"s, 0, OptionProblem::None, "1 16 0x2F8"},
      {u"--token 4294967295 --port 65528"s, 0, OptionProblem::None, "0 4294967295 0xFFF8"},
      {u"--exercise\0--fast"s, 0, OptionProblem::None, Exercise},
      {u"-x --exercise"s, 0, OptionProblem::None, Exercise},
      {u"--exercise"s, 12, OptionProblem::UnknownOption, "--exer"},
      {u"VeskBoardCheck.efi --fast"s, 0, OptionProblem::UnknownOption, "--fast"},
      {u"--exercise -x"s, 0, OptionProblem::UnknownOption, "-x"},
      {u"--token"s, 0, OptionProblem::MissingNumber, ""},
      {u"--port 0xFFF9"s, 0, OptionProblem::MalformedNumber, "0xFFF9"},
      {u"--token 4294967296"s, 0, OptionProblem::MalformedNumber, "4294967296"},
      {u"--token 007"s, 0, OptionProblem::MalformedNumber, "007"},
      {u"--token 0x0"s, 0, OptionProblem::MalformedNumber, "0x0"}, // no token
      {u"--port 0"s, 0, OptionProblem::None, "0 " + Token + " 0x0"},
      {u"--token 0x"s, 0, OptionProblem::MalformedNumber, "0x"},
      {u"--port 3f8"s, 0, OptionProblem::MalformedNumber, "3f8"},
  };
  for (const OptionsCase& Case : Cases) {
    SCOPED_TRACE(std::string(Case.Text.begin(), Case.Text.end()));
    BoardCheckOptions Options = {FALSE, PCD_TSC_FREQUENCY_TOKEN, DEBUG_UART_BASE};
    const UINT64 Size = Case.Size != 0 ? Case.Size : Case.Text.size() * sizeof(CHAR16);
    const OptionFault Fault =
        ParseOptions(Case.Text.empty() ? nullptr : Case.Text.data(), Size, &Options);
    EXPECT_EQ(static_cast<int>(Fault.Problem), static_cast<int>(Case.Problem));
    const std::u16string Word(Fault.Word == nullptr ? u"" : Fault.Word, Fault.WordLength);
    EXPECT_EQ(Case.Problem == OptionProblem::None
                  ? std::to_string(Options.Exercise) + " " + std::to_string(Options.Token) + " " +
                        Hex(Options.Port)
                  : std::string(Word.begin(), Word.end()),
              Case.Expected);
  }
}

} // namespace
