// The debug UART, a 16550-compatible UART driven by polling: COM1 at 115200 baud unless the build
// chose another port or rate (DEBUG_UART_BASE, DEBUG_UART_BAUD).
#include "Library/SerialDebugLib/SerialDebugLib.h"

#include "HardwareAccess/HardwareAccess.h"
#include "PlatformSettings.h"

namespace {
constexpr UINT16 TRANSMIT_HOLDING_PORT = DEBUG_UART_BASE + 0; // divisor low byte while DLAB is set
constexpr UINT16 DIVISOR_HIGH_PORT = DEBUG_UART_BASE + 1;     // while DLAB is set
constexpr UINT16 LINE_CONTROL_PORT = DEBUG_UART_BASE + 3;
constexpr UINT16 LINE_STATUS_PORT = DEBUG_UART_BASE + 5;
static_assert(LINE_STATUS_PORT > DEBUG_UART_BASE, "the UART's registers lie below port 0x10000");

constexpr UINT8 LINE_CONTROL_DIVISOR_LATCH = 0x80;
constexpr UINT8 LINE_CONTROL_WORD_8_BITS = 0x03;
constexpr UINT8 LINE_CONTROL_TWO_STOP_BITS = 0x04;
constexpr UINT8 LINE_CONTROL_8N2 = LINE_CONTROL_WORD_8_BITS | LINE_CONTROL_TWO_STOP_BITS;
constexpr UINT8 LINE_STATUS_TRANSMIT_EMPTY = 0x20;

// The UART divides its standard 1.8432 MHz reference clock by 16, then by the 16-bit divisor.
constexpr UINT32 RATE_AT_DIVISOR_1 = 115200;
static_assert(DEBUG_UART_BAUD != 0 && RATE_AT_DIVISOR_1 % DEBUG_UART_BAUD == 0,
              "the rate is the reference rate divided by a whole divisor");
static_assert(RATE_AT_DIVISOR_1 / DEBUG_UART_BAUD <= 0xFFFF, "the divisor fits its latch");
constexpr UINT16 BAUD_DIVISOR = RATE_AT_DIVISOR_1 / DEBUG_UART_BAUD;
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
