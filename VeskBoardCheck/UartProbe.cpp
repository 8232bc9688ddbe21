#include "VeskBoardCheck/UartProbe.h"

#include "HardwareAccess/HardwareAccess.h"

namespace {
constexpr UINT16 UART_ALIGNMENT = 8;
constexpr UINT16 FIRST_FREE_PORT = 0x100;
constexpr UINT16 PCI_CONFIGURATION_PORTS = 0xCF8;
// A 16550's line status: bit 7 (an error in the receive FIFO) clear, bit 5 (the transmit holding
// register empty) set once what the console sent has gone out. An empty bus reads 0xFF at once.
constexpr UINT16 LINE_STATUS_OFFSET = 5;
constexpr UINT8 LINE_STATUS_CHECKED = 0xA0;
constexpr UINT8 LINE_STATUS_IDLE = 0x20;
constexpr UINT8 EMPTY_BUS = 0xFF;
// A FIFO of 16 characters drains within 17 ms at 9600 baud; no port read takes less than 0.5 us.
constexpr UINT32 LINE_STATUS_READS = 1u << 15;
// The scratch register holds whatever is written to it and does nothing else, so writing it
// disturbs no transfer. Two patterns with every bit both ways tell it from a register that reads
// back some fixed value.
constexpr UINT16 SCRATCH_REGISTER_OFFSET = 7;
constexpr UINT8 FIRST_PATTERN = 0x55;
constexpr UINT8 SECOND_PATTERN = 0xAA;
} // namespace

UartFinding ProbeUart(UINT16 Port) {
  if (Port % UART_ALIGNMENT != 0 || Port < FIRST_FREE_PORT || Port == PCI_CONFIGURATION_PORTS) {
    return UartFinding::NotProbed;
  }
  for (UINT32 Reads = 0;; ++Reads) {
    const UINT8 LineStatus = PortRead8(static_cast<UINT16>(Port + LINE_STATUS_OFFSET));
    if ((LineStatus & LINE_STATUS_CHECKED) == LINE_STATUS_IDLE) {
      break;
    }
    if (LineStatus == EMPTY_BUS || Reads == LINE_STATUS_READS) {
      return UartFinding::Absent;
    }
  }
  const UINT16 Scratch = static_cast<UINT16>(Port + SCRATCH_REGISTER_OFFSET);
  const UINT8 Kept = PortRead8(Scratch);
  PortWrite8(Scratch, FIRST_PATTERN);
  const bool First = PortRead8(Scratch) == FIRST_PATTERN;
  PortWrite8(Scratch, SECOND_PATTERN);
  const bool Second = PortRead8(Scratch) == SECOND_PATTERN;
  PortWrite8(Scratch, Kept);
  return First && Second ? UartFinding::Present : UartFinding::Absent;
}
