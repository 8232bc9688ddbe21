// COM1, a 16550-compatible UART, driven by polling.
#include "Library/SerialDebugLib/SerialDebugLib.h"

#include "HardwareAccess/HardwareAccess.h"

namespace {
constexpr UINT16 COM1_BASE = 0x3F8;
constexpr UINT16 TRANSMIT_HOLDING_PORT = COM1_BASE + 0; // divisor low byte while DLAB is set
constexpr UINT16 DIVISOR_HIGH_PORT = COM1_BASE + 1;     // while DLAB is set
constexpr UINT16 LINE_CONTROL_PORT = COM1_BASE + 3;
constexpr UINT16 LINE_STATUS_PORT = COM1_BASE + 5;

constexpr UINT8 LINE_CONTROL_DIVISOR_LATCH = 0x80;
constexpr UINT8 LINE_CONTROL_WORD_8_BITS = 0x03;
constexpr UINT8 LINE_CONTROL_TWO_STOP_BITS = 0x04;
constexpr UINT8 LINE_CONTROL_8N2 = LINE_CONTROL_WORD_8_BITS | LINE_CONTROL_TWO_STOP_BITS;
constexpr UINT8 LINE_STATUS_TRANSMIT_EMPTY = 0x20;

// 115200 baud from the standard 1.8432 MHz reference clock.
constexpr UINT16 BAUD_DIVISOR = 1;
} // namespace

VOID InitDebugSerial() {
  PortWrite8(LINE_CONTROL_PORT, LINE_CONTROL_DIVISOR_LATCH | LINE_CONTROL_8N2);
  PortWrite8(DIVISOR_HIGH_PORT, static_cast<UINT8>(BAUD_DIVISOR >> 8));
  PortWrite8(TRANSMIT_HOLDING_PORT, static_cast<UINT8>(BAUD_DIVISOR & 0xFF));
  PortWrite8(LINE_CONTROL_PORT, LINE_CONTROL_8N2);
}

UINT64 WriteDebugSerial(const UINT8* Buffer, UINT64 Count) {
  for (UINT64 Index = 0; Index < Count; ++Index) {
    // No timeout: a port that never drains is a platform fault nobody could report anyway.
    while ((PortRead8(LINE_STATUS_PORT) & LINE_STATUS_TRANSMIT_EMPTY) == 0) {
    }
    PortWrite8(TRANSMIT_HOLDING_PORT, Buffer[Index]);
  }
  return Count;
}
