// The %g, %t and %r conversions, and how the engine lays their texts out.
#include "Library/BasePrintLib/PrintLibInternal.h"
#include "Tests/MachineTest.h"

#include <cstring>
#include <string>

namespace {

// The timer protocol's GUID: 26BACCB3-6F42-11D4-BCE7-0080C73C8881.
constexpr EFI_GUID TIMER_GUID = {
    0x26BACCB3, 0x6F42, 0x11D4, {0xBC, 0xE7, 0x00, 0x80, 0xC7, 0x3C, 0x88, 0x81}};
constexpr const char* TIMER_GUID_TEXT = "26BACCB3-6F42-11D4-BCE7-0080C73C8881";

template <typename... Arguments> std::string Print(const char* Format, Arguments... Values) {
  CHAR8 Buffer[128];
  UINT64 Count = FormatText(Buffer, sizeof(Buffer), Format, Values...);
  EXPECT_EQ(Count, std::strlen(Buffer)) << Format;
  return Buffer;
}

EFI_TIME MakeTime(UINT16 Year, UINT8 Month, UINT8 Day, UINT8 Hour, UINT8 Minute) {
  EFI_TIME Time = {};
  Time.Year = Year;
  Time.Month = Month;
  Time.Day = Day;
  Time.Hour = Hour;
  Time.Minute = Minute;
  Time.Second = 59;
  Time.Nanosecond = 999;
  return Time;
}

using FirmwareConversions = MachineTest;

TEST_F(FirmwareConversions, GuidInRegistryForm) {
  EXPECT_EQ(Print("%g", &TIMER_GUID), TIMER_GUID_TEXT);
  EXPECT_EQ(Print("%.8g|%40g|", &TIMER_GUID, &TIMER_GUID),
            std::string("26BACCB3|    ") + TIMER_GUID_TEXT + "|");
  EXPECT_EQ(Print("%g|%-13g|%.6g", nullptr, nullptr, nullptr), "<null guid>|<null guid>  |<null ");
  // Leading zeros of every field are kept.
  const EFI_GUID Small = {0x1, 0x2, 0x3, {0, 1, 2, 3, 4, 5, 6, 0xF}};
  EXPECT_EQ(Print("%g", &Small), "00000001-0002-0003-0001-02030405060F");

  // A GUID inside a packed record need not be aligned.
  alignas(8) UINT8 Bytes[1 + sizeof(EFI_GUID)];
  std::memcpy(Bytes + 1, &TIMER_GUID, sizeof(EFI_GUID));
  EXPECT_EQ(Print("%g", Bytes + 1), TIMER_GUID_TEXT);
}

TEST_F(FirmwareConversions, TimeAsMonthDayYearHourMinute) {
  const EFI_TIME March7 = MakeTime(2024, 3, 7, 9, 5);
  EXPECT_EQ(Print("%t", &March7), "03/07/2024  09:05");
  EXPECT_EQ(Print("%t|%.6t", nullptr, nullptr), "<null time>|<null ");
  // Wide fields print in full, and the longest time still fits the scratch buffer.
  const EFI_TIME Widest = MakeTime(65535, 255, 255, 255, 255);
  EXPECT_EQ(Print("%t", &Widest), "255/255/65535  255:255");
  const EFI_TIME Year10000 = MakeTime(10000, 1, 2, 3, 4);
  EXPECT_EQ(Print("%20t", &Year10000), "  01/02/10000  03:04");
}

TEST_F(FirmwareConversions, EveryStatusName) {
  const char* const Names[] = {"Success",
                               "Warning Unknown Glyph",
                               "Warning Delete Failure",
                               "Warning Write Failure",
                               "Warning Buffer Too Small",
                               "Warning Stale Data",
                               "Load Error",
                               "Invalid Parameter",
                               "Unsupported",
                               "Bad Buffer Size",
                               "Buffer Too Small",
                               "Not Ready",
                               "Device Error",
                               "Write Protected",
                               "Out of Resources",
                               "Volume Corrupt",
                               "Volume Full",
                               "No Media",
                               "Media changed",
                               "Not Found",
                               "Access Denied",
                               "No Response",
                               "No mapping",
                               "Time out",
                               "Not started",
                               "Already started",
                               "Aborted",
                               "ICMP Error",
                               "TFTP Error",
                               "Protocol Error",
                               "Incompatible Version",
                               "Security Violation",
                               "CRC Error",
                               "End of Media",
                               "Reserved (29)",
                               "Reserved (30)",
                               "End of File",
                               "Invalid Language",
                               "Compromised Data"};
  static_assert(sizeof(Names) / sizeof(Names[0]) == 39);
  for (UINT64 Warning = 0; Warning <= 5; ++Warning) {
    EXPECT_EQ(Print("%r", Warning), Names[Warning]);
  }
  for (UINT64 Error = 1; Error <= 33; ++Error) {
    EXPECT_EQ(Print("%r", EFI_ERROR_BIT | Error), Names[Error + 5]) << Error;
  }
  EXPECT_EQ(Print("%r|%r|%r", EFI_DEVICE_ERROR, EFI_ALREADY_STARTED, EFI_NOT_FOUND),
            "Device Error|Already started|Not Found");
}

TEST_F(FirmwareConversions, StatusWithoutNameIsItsLow32BitsInHexadecimal) {
  const struct {
    EFI_STATUS Status;
    const char* Expected;
  } Cases[] = {
      {6, "00000006"},
      {EFI_ERROR_BIT | 34, "00000022"},
      {EFI_ERROR_BIT, "00000000"},
      {0x123456789ULL, "23456789"},
      {EFI_ERROR_BIT | (1ULL << 40) | 2, "00000002"},
      {0xFFFFFFFFFFFFFFFFULL, "FFFFFFFF"},
  };
  for (const auto& Case : Cases) {
    EXPECT_EQ(Print("%r", Case.Status), Case.Expected) << std::hex << Case.Status;
  }
}

TEST_F(FirmwareConversions, StatusTextsAreLaidOutLikeOtherTexts) {
  EXPECT_EQ(Print("%20r|%-20r|%.3r", EFI_UNSUPPORTED, UINT64{2}, EFI_NOT_FOUND),
            "         Unsupported|Warning Delete Failure|Not");
  EXPECT_EQ(Print("%-10r|", UINT64{7}), "00000007  |");
}

} // namespace
