// Whether a 16550-compatible UART answers at a port, found through its line status and scratch
// registers.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

enum class UartFinding : UINT8 {
  Present,
  Absent,    // the line status did not read like a 16550's, or the scratch register kept nothing
  NotProbed, // not a UART's place: not 8-aligned, or its eight ports reach a system port
};

// Port is the UART's first port, at most 0xFFF8. Only an 8-aligned port above the board's fixed
// system ports (0x0 to 0xFF: timers, interrupt and DMA controllers, the keyboard controller's
// reset, the fast reset 0x92, the SMI port 0xB2) and outside the PCI configuration ports with the
// reset register (0xCF8 to 0xCFF) is read; its scratch register (written, then put back) only once
// its line status reads like a 16550's.
UartFinding ProbeUart(UINT16 Port);
