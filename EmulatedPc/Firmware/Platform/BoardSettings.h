// Per-run settings of the emulated board, kept in battery-backed CMOS RAM where the scenario
// runner writes them into the emulator's CMOS image before power-on.
#pragma once

#include <stdint.h>

namespace BoardSettings {

struct Settings {
  bool Valid;            // the signature was found; otherwise the defaults below apply
  bool SwitchToX2Apic;   // put the local APIC into x2APIC mode before the driver starts
  uint32_t TscFrequency; // TSC ticks per second, as the board designer states it
  uint32_t TimerPeriod;  // the tick period the firmware core asks for, in 100 ns units
  uint32_t SpanPeriods;  // how many periods the tick count runs for
};

// CMOS bytes 0x60..0x6F. The real-time clock and the emulator's own bytes lie below 0x60.
constexpr uint8_t CMOS_SETTINGS_OFFSET = 0x60;
constexpr uint8_t CMOS_SIGNATURE_0 = 'V';
constexpr uint8_t CMOS_SIGNATURE_1 = 'T';
constexpr uint8_t FLAG_X2APIC = 1u << 0;
// Layout after the two signature bytes: flags (1 byte), reserved (1 byte), TSC frequency
// (4 bytes), timer period (4 bytes), span in periods (2 bytes); all little-endian.
constexpr uint8_t FIELD_FLAGS = 2;
constexpr uint8_t FIELD_TSC_FREQUENCY = 4;
constexpr uint8_t FIELD_TIMER_PERIOD = 8;
constexpr uint8_t FIELD_SPAN_PERIODS = 12;

constexpr uint32_t DEFAULT_TSC_FREQUENCY = 20000000;
constexpr uint32_t DEFAULT_TIMER_PERIOD = 10000; // 1 ms
constexpr uint32_t DEFAULT_SPAN_PERIODS = 40;

Settings Read();

} // namespace BoardSettings
