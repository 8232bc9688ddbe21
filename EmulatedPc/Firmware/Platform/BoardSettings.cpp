#include "Platform/BoardSettings.h"

#include "Platform/Cpu.h"

namespace BoardSettings {
namespace {

constexpr uint16_t CMOS_INDEX = 0x70;
constexpr uint16_t CMOS_DATA = 0x71;
constexpr uint8_t CMOS_NMI_DISABLE = 0x80; // keep NMIs off while the index is written
// The upper 128 bytes have an index port of their own, without the NMI bit.
constexpr uint16_t CMOS_UPPER_INDEX = 0x72;
constexpr uint16_t CMOS_UPPER_DATA = 0x73;
constexpr uint8_t CMOS_UPPER_HALF = 0x80;

uint8_t CmosByte(uint8_t Offset) {
  if (Offset >= CMOS_UPPER_HALF) {
    Cpu::OutByte(CMOS_UPPER_INDEX, Offset);
    return Cpu::InByte(CMOS_UPPER_DATA);
  }
  Cpu::OutByte(CMOS_INDEX, static_cast<uint8_t>(CMOS_NMI_DISABLE | Offset));
  return Cpu::InByte(CMOS_DATA);
}

uint64_t CmosLittleEndian(uint8_t Field, unsigned Bytes) {
  uint64_t Value = 0;
  for (unsigned Index = 0; Index < Bytes; ++Index) {
    Value |=
        static_cast<uint64_t>(CmosByte(static_cast<uint8_t>(CMOS_SETTINGS_OFFSET + Field + Index)))
        << (8 * Index);
  }
  return Value;
}

} // namespace

Settings Read() {
  Settings Result = {false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     false,
                     Launch::Driver,
                     DEFAULT_TSC_FREQUENCY,
                     DEFAULT_TIMER_PERIOD,
                     DEFAULT_SPAN_PERIODS,
                     DEFAULT_TSC_START};
  if (CmosByte(CMOS_SETTINGS_OFFSET) != CMOS_SIGNATURE_0 ||
      CmosByte(CMOS_SETTINGS_OFFSET + 1) != CMOS_SIGNATURE_1) {
    return Result;
  }
  const uint8_t Flags = CmosByte(CMOS_SETTINGS_OFFSET + FIELD_FLAGS);
  Result.Valid = true;
  Result.SwitchToX2Apic = (Flags & FLAG_X2APIC) != 0;
  Result.TimerAlreadyInstalled = (Flags & FLAG_TIMER_ALREADY_INSTALLED) != 0;
  Result.SmashEntryGuard = (Flags & FLAG_SMASH_ENTRY_GUARD) != 0;
  Result.PcdLate = (Flags & FLAG_PCD_LATE) != 0;
  Result.NoCpuArch = (Flags & FLAG_NO_CPU_ARCH) != 0;
  Result.PcdTwiceRate = (Flags & FLAG_PCD_TWICE_RATE) != 0;
  Result.NoAcpiTables = (Flags & FLAG_NO_ACPI_TABLES) != 0;
  Result.EarlyDeadline = (Flags & FLAG_EARLY_DEADLINE) != 0;
  const uint8_t Flags2 = CmosByte(CMOS_SETTINGS_OFFSET + FIELD_FLAGS2);
  Result.ApicTimerCounting = (Flags2 & FLAG2_APIC_TIMER_COUNTING) != 0;
  Result.BadFadtChecksum = (Flags2 & FLAG2_BAD_FADT_CHECKSUM) != 0;
  Result.Start = static_cast<Launch>(CmosByte(CMOS_SETTINGS_OFFSET + FIELD_START));
  Result.TscFrequency = static_cast<uint32_t>(CmosLittleEndian(FIELD_TSC_FREQUENCY, 4));
  Result.TimerPeriod = CmosLittleEndian(FIELD_TIMER_PERIOD, 8);
  Result.SpanPeriods = static_cast<uint32_t>(CmosLittleEndian(FIELD_SPAN_PERIODS, 2));
  Result.TscStart = CmosLittleEndian(FIELD_TSC_START, 8);
  return Result;
}

unsigned ReadLoadOptions(char16_t (&Text)[LOAD_OPTIONS_CAPACITY]) {
  const uint8_t Length = CmosByte(CMOS_LOAD_OPTIONS_OFFSET);
  if (Length > LOAD_OPTIONS_CAPACITY) {
    return NO_LOAD_OPTIONS;
  }
  for (uint8_t Index = 0; Index < Length; ++Index) {
    Text[Index] = CmosByte(static_cast<uint8_t>(CMOS_LOAD_OPTIONS_OFFSET + 1 + Index));
  }
  return Length;
}

} // namespace BoardSettings
