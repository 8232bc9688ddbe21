#include "Platform/PowerManagement.h"

namespace PowerManagement {
namespace {

constexpr uint16_t PCI_CONFIG_ADDRESS = 0xCF8;
constexpr uint16_t PCI_CONFIG_DATA = 0xCFC;
constexpr uint32_t PCI_CONFIG_ENABLE = 1u << 31;
constexpr uint32_t DEVICE = 1;
constexpr uint32_t FUNCTION = 3;
constexpr uint32_t PIIX4_POWER_MANAGEMENT_ID = 0x71138086; // device 0x7113, vendor Intel
constexpr uint8_t REG_ID = 0x00;
constexpr uint8_t REG_PMBA = 0x40;      // the block's I/O base; bit 0 reads as 1 (I/O space)
constexpr uint8_t REG_PMREGMISC = 0x80; // bit 0 opens the block
constexpr uint32_t PMREGMISC_IO_ENABLE = 1u << 0;
constexpr uint16_t BLOCK_BASE = 0xB000; // 64 bytes, free on this machine
constexpr uint16_t TIMER_OFFSET = 8;

uint32_t ConfigAddress(uint8_t Register) {
  return PCI_CONFIG_ENABLE | DEVICE << 11 | FUNCTION << 8 | Register;
}

uint32_t ReadConfig(uint8_t Register) {
  uint32_t Value;
  asm volatile("outl %0, %1" ::"a"(ConfigAddress(Register)), "Nd"(PCI_CONFIG_ADDRESS));
  asm volatile("inl %1, %0" : "=a"(Value) : "Nd"(PCI_CONFIG_DATA));
  return Value;
}

void WriteConfig(uint8_t Register, uint32_t Value) {
  asm volatile("outl %0, %1" ::"a"(ConfigAddress(Register)), "Nd"(PCI_CONFIG_ADDRESS));
  asm volatile("outl %0, %1" ::"a"(Value), "Nd"(PCI_CONFIG_DATA));
}

} // namespace

uint16_t EnableTimer() {
  if (ReadConfig(REG_ID) != PIIX4_POWER_MANAGEMENT_ID) {
    return 0;
  }
  WriteConfig(REG_PMBA, BLOCK_BASE);
  WriteConfig(REG_PMREGMISC, ReadConfig(REG_PMREGMISC) | PMREGMISC_IO_ENABLE);
  return BLOCK_BASE + TIMER_OFFSET;
}

} // namespace PowerManagement
