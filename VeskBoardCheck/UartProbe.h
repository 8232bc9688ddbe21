// Whether a 16550-compatible UART answers at a port, found through its scratch register.
#pragma once

#include "UefiDefinitions/UefiBaseTypes.h"

// Port is the UART's first port, at most 0xFFF8; the scratch register keeps its value.
BOOLEAN UartPresent(UINT16 Port);
