// The serial port, debug messages, assertion reports and the stack guard, as seen on the port.
#include "Library/SerialDebugLib/SerialDebugLib.h"
#include "PlatformSettings.h"
#include "Tests/MachineTest.h"

#include <dlfcn.h>
#include <link.h>
#include <regex>
#include <string>

namespace {

// The build's debug UART: COM1 (0x3F8) at 115200 baud unless it was configured otherwise.
constexpr UINT16 TRANSMIT = DEBUG_UART_BASE;
constexpr UINT16 LINE_STATUS = DEBUG_UART_BASE + 5;
constexpr UINT16 LINE_CONTROL = DEBUG_UART_BASE + 3;
constexpr UINT8 TRANSMIT_EMPTY = 0x20;
// The 16550's divisor for the build's rate: 115200 baud at divisor 1.
constexpr UINT64 DIVISOR = 115200 / DEBUG_UART_BAUD;

using Diagnostics = MachineTest;

TEST_F(Diagnostics, SerialSetUpIsFourWritesIn8N2AtTheBuildsRate) {
  InitDebugSerial();
  // The divisor latch opened, the divisor's high and low byte, then 8N2 with the latch closed.
  std::vector<HardwareAccessRecord> Expected = {{AccessKind::PortWrite, LINE_CONTROL, 0x87},
                                                {AccessKind::PortWrite, TRANSMIT + 1, DIVISOR >> 8},
                                                {AccessKind::PortWrite, TRANSMIT, DIVISOR & 0xFF},
                                                {AccessKind::PortWrite, LINE_CONTROL, 0x07}};
  EXPECT_EQ(Machine().Log, Expected);
}

TEST_F(Diagnostics, EveryByteWaitsForAnEmptyTransmitter) {
  EXPECT_EQ(WriteDebugSerial(reinterpret_cast<const UINT8*>("x"), 0), 0u);
  EXPECT_TRUE(Machine().Log.empty());

  // The transmitter stays busy for two polls before every byte.
  int BusyPolls = 0;
  Machine().BeforeLineStatusRead = [&] {
    Machine().LineStatus = (BusyPolls++ % 3 == 2) ? TRANSMIT_EMPTY : 0x00;
  };
  const std::string Text = "abc";
  EXPECT_EQ(WriteDebugSerial(reinterpret_cast<const UINT8*>(Text.data()), Text.size()), 3u);
  EXPECT_EQ(Machine().SerialOutput(), Text);
  const auto& Log = Machine().Log;
  size_t Writes = 0;
  for (size_t Index = 0; Index < Log.size(); ++Index) {
    if (Log[Index].Kind == AccessKind::PortWrite) {
      ASSERT_EQ(Log[Index].Address, TRANSMIT);
      ASSERT_GT(Index, 0u);
      EXPECT_EQ(Log[Index - 1].Kind, AccessKind::PortRead);
      EXPECT_EQ(Log[Index - 1].Address, LINE_STATUS);
      EXPECT_NE(Log[Index - 1].Value & TRANSMIT_EMPTY, 0u);
      ++Writes;
    }
  }
  EXPECT_EQ(Writes, 3u);
  EXPECT_EQ(Machine().Accesses(AccessKind::PortRead).size(), 9u);
  // No wait after the last byte.
  EXPECT_EQ(Log.back().Kind, AccessKind::PortWrite);
}

TEST_F(Diagnostics, MessagesGoOutWithCarriageReturnLineEndsWhateverTheLevel) {
  EXPECT_EQ(DebugOutputEnabled(), DEBUG_MESSAGES_ENABLED);
  // Callers ask first; whatever is asked for is written.
  for (UINT32 Level : {DEBUG_INFO, DEBUG_ERROR, 0u}) {
    EmitDebugMessage(Level, "Initializing LAPIC Timer Driver\n");
    EXPECT_EQ(Machine().TakeSerialOutput(), "Initializing LAPIC Timer Driver\r\n") << Level;
  }
  EmitDebugMessage(DEBUG_INFO, "%a=%d %r\n", "Period", 42, EFI_INVALID_PARAMETER);
  EXPECT_EQ(Machine().TakeSerialOutput(), "Period=42 Invalid Parameter\r\n");
}

TEST_F(Diagnostics, MessageIsCutAt255Characters) {
  std::string Long(300, 'x');
  for (size_t Index = 0; Index < Long.size(); ++Index) {
    Long[Index] = static_cast<char>('a' + Index % 26);
  }
  EmitDebugMessage(DEBUG_ERROR, "%a", Long.c_str());
  EXPECT_EQ(Machine().SerialOutput(), Long.substr(0, 255));
}

TEST_F(Diagnostics, ZeroCharacterInsideTheTextEndsWhatIsWritten) {
  EmitDebugMessage(DEBUG_INFO, "[%c]", 0x100);
  EXPECT_EQ(Machine().SerialOutput(), "[");
}

TEST_F(Diagnostics, AssertionWritesOneLineAndHaltsUntilReleased) {
  ReportAssertion("Library/Some/Source.cpp", 1234, "Value != 0");
  EXPECT_EQ(Machine().TakeSerialOutput(),
            "ASSERT [VeskLapicTimerDxe] Library/Some/Source.cpp(1234): Value != 0\r\n");
  // Released by the simulated debugger, so the call came back after halting once.
  EXPECT_EQ(Machine().HaltCount, 1);
  EXPECT_EQ(Machine().Log.back().Kind, AccessKind::Halt);

  bool Continued = false;
  int Sum = 1 + 1;
  EXPECT_TRUE(Machine().RunUntilHalt([&] {
    ASSERT(Sum == 3);
    Continued = true;
  }));
  EXPECT_FALSE(Continued);
  EXPECT_TRUE(std::regex_match(
      Machine().TakeSerialOutput(),
      std::regex(
          R"(ASSERT \[VeskLapicTimerDxe\] Tests/DiagnosticsTests\.cpp\(\d+\): Sum == 3\r\n)")));
}

TEST_F(Diagnostics, StatusCheckNamesTheStatusBeforeTheAssertion) {
  ASSERT_EFI_ERROR(EFI_SUCCESS);
  EXPECT_EQ(Machine().SerialOutput(), "");
  ASSERT_EFI_ERROR(EFI_UNSUPPORTED);
  EXPECT_TRUE(std::regex_match(
      Machine().SerialOutput(),
      std::regex(
          Message(R"(\r\nASSERT_EFI_ERROR \(Status = Unsupported\)\r\n)") +
          R"(ASSERT \[VeskLapicTimerDxe\] Tests/DiagnosticsTests\.cpp\(\d+\): !EFI_ERROR \(Status\)\r\n)")))
      << Machine().SerialOutput();
}

// Overwrites the first copy of the guard value found in the frames above this one: the guard slot
// of the innermost guarded caller.
__attribute__((no_sanitize("address"), noinline)) bool SmashNearestGuardSlot() {
  constexpr size_t SEARCHED_BYTES = 16 * 1024;
  volatile UINT64* Word = reinterpret_cast<volatile UINT64*>(__builtin_frame_address(0));
  for (size_t Index = 0; Index < SEARCHED_BYTES / sizeof(UINT64); ++Index) {
    if (Word[Index] == mStackGuard) {
      Word[Index] = ~mStackGuard;
      return true;
    }
  }
  return false;
}

TEST_F(Diagnostics, SmashedGuardSlotReportsTheFunctionAndHalts) {
  EXPECT_EQ(mStackGuard, 0x0AFFu);
  bool Smashed = false;
  // EmitDebugMessage keeps its message buffer on the stack, so it is guarded; the first byte it
  // writes gives the chance to overwrite its guard slot while it runs.
  Machine().AfterAccess = [&](const HardwareAccessRecord& Access) {
    if (Access.Kind == AccessKind::PortWrite && !Smashed) {
      Smashed = SmashNearestGuardSlot();
    }
  };
  bool Returned = false;
  EXPECT_TRUE(Machine().RunUntilHalt([&] {
    EmitDebugMessage(DEBUG_INFO, "x");
    Returned = true;
  }));
  ASSERT_TRUE(Smashed);
  EXPECT_FALSE(Returned);

  std::smatch Match;
  const std::string Output = Machine().SerialOutput();
  ASSERT_TRUE(std::regex_match(
      Output, Match,
      std::regex(
          R"(xSTACK FAULT: Buffer Overflow in function VeskLapicTimerDxe\+0x([0-9A-F]+)\.\r\n)")))
      << Output;
  // The reported place lies inside the function whose guard failed, although the failing call is
  // its last instruction.
  Dl_info Found;
  void* Symbol = nullptr;
  ASSERT_NE(dladdr1(reinterpret_cast<void*>(&EmitDebugMessage), &Found, &Symbol, RTLD_DL_SYMENT),
            0);
  ASSERT_NE(Symbol, nullptr);
  UINT64 Place = std::stoull(Match[1].str(), nullptr, 16);
  UINT64 FunctionStart = reinterpret_cast<UINTN>(&EmitDebugMessage) - LoadedImageBase();
  EXPECT_GT(Place, FunctionStart);
  EXPECT_LT(Place, FunctionStart + static_cast<const ElfW(Sym)*>(Symbol)->st_size);
}

} // namespace
