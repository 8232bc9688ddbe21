// Text output of the firmware: every character goes to the driver's debug serial port (COM1 by
// default), where the driver writes too, and to the emulator's debug port, which works before any
// set-up.
#pragma once

#include <stdint.h>

namespace Console {

// Programs the UART the way the driver does (115200 baud, 8 data bits, no parity, 2 stop bits),
// so that lines written before the driver's entry come out the same.
void Initialize();

void Write(const char* Text);
void Put(char Character);
// Waits until the UART has shifted out its last bit, so that nothing is lost at power-off.
void Flush();
// The divisor the UART's latch holds now (115200 baud divided by it is the rate), read back with
// the latch opened for a moment once the transmitter is empty; the line control is left as it was.
uint16_t Divisor();
void WriteDecimal(uint64_t Value);
void WriteSigned(int64_t Value);
void WriteHex(uint64_t Value, unsigned Digits = 16);

// Firmware lines carry this prefix so that the driver's own lines can be told apart in the log.
constexpr const char* LINE_PREFIX = "[pc] ";
void BeginLine();
void EndLine();
// Whether the last character written ended a line.
bool AtLineStart();

// One "[pc] key=value" line, the unit of the report that the scenario judge reads.
void Fact(const char* Key, uint64_t Value);
void FactHex(const char* Key, uint64_t Value);
void FactText(const char* Key, const char* Value);

} // namespace Console
