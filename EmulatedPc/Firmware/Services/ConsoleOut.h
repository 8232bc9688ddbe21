// The console an application writes to (the system table's ConOut): its text goes to the serial
// port, each of its lines marked "[con] ", so that the log tells it apart from the firmware's
// "[pc] " lines and the driver's own.
#pragma once

#include "Uefi/ApplicationProtocols.h"

namespace ConsoleOut {

constexpr const char* LINE_PREFIX = "[con] ";

Uefi::SimpleTextOutputProtocol* Instance();

// Calls of the console's other services, which this firmware does not offer.
uint64_t UnexpectedCalls();

} // namespace ConsoleOut
