// Per-run settings of the emulated board, kept in battery-backed CMOS RAM where the scenario
// runner writes them into the emulator's CMOS image before power-on.
#pragma once

#include <stdint.h>

namespace BoardSettings {

// What the firmware starts: the driver from its volume (as on every machine so far), the board
// check the ROM carries instead, or the board check once the driver has started its timer.
enum class Launch : uint8_t { Driver, BoardCheck, DriverThenBoardCheck };

struct Settings {
  bool Valid;                 // the signature was found; otherwise the defaults below apply
  bool SwitchToX2Apic;        // put the local APIC into x2APIC mode before the driver starts
  bool TimerAlreadyInstalled; // a timer protocol of the firmware's own is there before the driver
  bool SmashEntryGuard;       // overwrite the stack-guard copy in the driver entry's frame
  bool PcdLate;               // the configuration database comes only after the first pass
  bool NoCpuArch;             // no CPU Architectural Protocol at all
  bool PcdTwiceRate;          // the configuration database answers twice the TSC frequency
  bool NoAcpiTables;          // no ACPI tables in the configuration table
  bool EarlyDeadline;         // one deadline of the board check's exercise fires early
  bool ApicTimerCounting;     // the local APIC timer runs masked and periodic: a firmware's clock
  bool BadFadtChecksum;       // the FADT's bytes do not sum to 0
  Launch Start;
  uint32_t TscFrequency; // TSC ticks per second, as the board designer states it
  uint64_t TimerPeriod;  // the tick period the firmware core asks for, in 100 ns units
  uint32_t SpanPeriods;  // how many periods the tick count runs for
  uint64_t TscStart;     // the TSC value the clock runs to before the driver is loaded
};

// CMOS bytes 0x60..0x7A. The real-time clock and the emulator's own bytes lie below 0x60.
constexpr uint8_t CMOS_SETTINGS_OFFSET = 0x60;
constexpr uint8_t CMOS_SIGNATURE_0 = 'V';
constexpr uint8_t CMOS_SIGNATURE_1 = 'T';
constexpr uint8_t FLAG_X2APIC = 1u << 0;
constexpr uint8_t FLAG_TIMER_ALREADY_INSTALLED = 1u << 1;
constexpr uint8_t FLAG_SMASH_ENTRY_GUARD = 1u << 2;
constexpr uint8_t FLAG_PCD_LATE = 1u << 3;
constexpr uint8_t FLAG_NO_CPU_ARCH = 1u << 4;
constexpr uint8_t FLAG_PCD_TWICE_RATE = 1u << 5;
constexpr uint8_t FLAG_NO_ACPI_TABLES = 1u << 6;
constexpr uint8_t FLAG_EARLY_DEADLINE = 1u << 7;
// The second flags byte.
constexpr uint8_t FLAG2_APIC_TIMER_COUNTING = 1u << 0;
constexpr uint8_t FLAG2_BAD_FADT_CHECKSUM = 1u << 1;
// Layout after the two signature bytes: flags (1 byte), what to start (1 byte), TSC frequency
// (4 bytes), timer period (8 bytes), span in periods (2 bytes), TSC start (8 bytes), the second
// flags (1 byte); all little-endian.
constexpr uint8_t FIELD_FLAGS = 2;
constexpr uint8_t FIELD_START = 3;
constexpr uint8_t FIELD_TSC_FREQUENCY = 4;
constexpr uint8_t FIELD_TIMER_PERIOD = 8;
constexpr uint8_t FIELD_SPAN_PERIODS = 16;
constexpr uint8_t FIELD_TSC_START = 18;
constexpr uint8_t FIELD_FLAGS2 = 26;
constexpr uint8_t SETTINGS_BYTES = 27;
static_assert(CMOS_SETTINGS_OFFSET + SETTINGS_BYTES <= 0x80, "the settings fit the 128-byte CMOS");

constexpr uint32_t DEFAULT_TSC_FREQUENCY = 20000000;
constexpr uint64_t DEFAULT_TIMER_PERIOD = 10000; // 1 ms
constexpr uint32_t DEFAULT_SPAN_PERIODS = 40;
// A counter past 32 bits, as on a machine that has run for a while: every deadline has a high half.
constexpr uint64_t DEFAULT_TSC_START = 1ULL << 32;

Settings Read();

// The board check's load options, as a loader passes them, in the upper 128 bytes of CMOS: their
// length in characters (NO_LOAD_OPTIONS: none at all), then that many characters, one byte each,
// a terminating NUL among them when the loader counts one.
constexpr uint8_t CMOS_LOAD_OPTIONS_OFFSET = 0x80;
constexpr unsigned LOAD_OPTIONS_CAPACITY = 127;
constexpr uint8_t NO_LOAD_OPTIONS = 0xFF;
// Returns the length, or NO_LOAD_OPTIONS; the characters go to Text.
unsigned ReadLoadOptions(char16_t (&Text)[LOAD_OPTIONS_CAPACITY]);

} // namespace BoardSettings
