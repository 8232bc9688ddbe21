#include "Services/AcpiTables.h"

#include "Platform/Console.h"
#include "Platform/PowerManagement.h"
#include "Uefi/AcpiTables.h"

namespace AcpiTables {
namespace {

constexpr uint8_t EXTENDED_SYSTEM_TABLE_REVISION = 1;
// A 32-bit register whose value counts 24 bits on the PIIX4: TMR_VAL_EXT stays clear.
constexpr uint8_t PM_TIMER_BYTES = 4;
constexpr uint8_t PM_TIMER_REGISTER_BITS = 32;

alignas(16) Acpi::RootPointer Root;
alignas(16) Acpi::ExtendedSystemTable Extended;
alignas(16) Acpi::FixedDescriptionTable Fixed;

void CopyName(char* To, const char* From, unsigned Length) {
  for (unsigned Index = 0; Index < Length; ++Index) {
    To[Index] = From[Index];
  }
}

// The checksum that makes Bytes sum to zero, computed while its own field holds 0.
uint8_t Checksum(const void* Table, uint32_t Bytes) {
  uint8_t Sum = 0;
  for (uint32_t Index = 0; Index < Bytes; ++Index) {
    Sum = static_cast<uint8_t>(Sum + static_cast<const uint8_t*>(Table)[Index]);
  }
  return static_cast<uint8_t>(-Sum);
}

void FillHeader(Acpi::TableHeader& Header, const char* Signature, uint32_t Length,
                uint8_t Revision) {
  CopyName(Header.Signature, Signature, sizeof(Header.Signature));
  Header.Length = Length;
  Header.Revision = Revision;
  CopyName(Header.OemId, "VESKPC", sizeof(Header.OemId));
  CopyName(Header.OemTableId, "EMULATED", sizeof(Header.OemTableId));
  Header.OemRevision = 1;
  Header.Checksum = 0;
}

} // namespace

void* Build(bool BadFadtChecksum) {
  const uint16_t TimerPort = PowerManagement::EnableTimer();
  Console::FactHex("pm-timer-port", TimerPort);
  if (TimerPort == 0) {
    return nullptr;
  }
  Fixed = {};
  FillHeader(Fixed.Header, "FACP", sizeof(Fixed), Acpi::FIXED_DESCRIPTION_REVISION);
  Fixed.PmTimerBlock = TimerPort;
  Fixed.PmTimerLength = PM_TIMER_BYTES;
  Fixed.ExtendedPmTimerBlock = {Acpi::SPACE_SYSTEM_IO, PM_TIMER_REGISTER_BITS, 0,
                                Acpi::ACCESS_32_BITS, TimerPort};
  Fixed.Header.Checksum = static_cast<uint8_t>(Checksum(&Fixed, sizeof(Fixed)) + BadFadtChecksum);
  Console::Fact("fadt-checksum-sound", !BadFadtChecksum);

  FillHeader(Extended.Header, "XSDT", sizeof(Extended), EXTENDED_SYSTEM_TABLE_REVISION);
  Extended.Entries[0] = reinterpret_cast<uint64_t>(&Fixed);
  Extended.Header.Checksum = Checksum(&Extended, sizeof(Extended));

  Root = {};
  CopyName(Root.Signature, "RSD PTR ", sizeof(Root.Signature));
  CopyName(Root.OemId, "VESKPC", sizeof(Root.OemId));
  Root.Revision = Acpi::ROOT_POINTER_REVISION_2;
  Root.Length = sizeof(Root);
  Root.XsdtAddress = reinterpret_cast<uint64_t>(&Extended);
  Root.Checksum = Checksum(&Root, Acpi::ROOT_POINTER_V1_BYTES);
  Root.ExtendedChecksum = Checksum(&Root, sizeof(Root));
  return &Root;
}

} // namespace AcpiTables
