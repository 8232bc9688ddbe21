#include "Platform/LegacyPic.h"

#include "Platform/Cpu.h"

namespace LegacyPic {
namespace {
constexpr uint16_t MASTER_COMMAND = 0x20;
constexpr uint16_t MASTER_DATA = 0x21;
constexpr uint16_t SLAVE_COMMAND = 0xA0;
constexpr uint16_t SLAVE_DATA = 0xA1;
constexpr uint8_t ICW1_INIT_WITH_ICW4 = 0x11;
// The second controller's lines follow the first's.
constexpr uint8_t SLAVE_VECTOR_BASE = FIRST_VECTOR + 8;
constexpr uint8_t ICW3_SLAVE_ON_IRQ2 = 0x04;
constexpr uint8_t ICW3_SLAVE_ID = 0x02;
constexpr uint8_t ICW4_8086_MODE = 0x01;
constexpr uint8_t MASK_ALL = 0xFF;
constexpr uint8_t OCW2_NON_SPECIFIC_EOI = 0x20;
} // namespace

void MaskAll() {
  Cpu::OutByte(MASTER_COMMAND, ICW1_INIT_WITH_ICW4);
  Cpu::OutByte(SLAVE_COMMAND, ICW1_INIT_WITH_ICW4);
  Cpu::OutByte(MASTER_DATA, FIRST_VECTOR);
  Cpu::OutByte(SLAVE_DATA, SLAVE_VECTOR_BASE);
  Cpu::OutByte(MASTER_DATA, ICW3_SLAVE_ON_IRQ2);
  Cpu::OutByte(SLAVE_DATA, ICW3_SLAVE_ID);
  Cpu::OutByte(MASTER_DATA, ICW4_8086_MODE);
  Cpu::OutByte(SLAVE_DATA, ICW4_8086_MODE);
  Cpu::OutByte(MASTER_DATA, MASK_ALL);
  Cpu::OutByte(SLAVE_DATA, MASK_ALL);
}

void Unmask(uint8_t Line) {
  Cpu::OutByte(MASTER_DATA, static_cast<uint8_t>(Cpu::InByte(MASTER_DATA) & ~(1u << Line)));
}

void EndOfInterrupt() {
  Cpu::OutByte(MASTER_COMMAND, OCW2_NON_SPECIFIC_EOI);
}

} // namespace LegacyPic
