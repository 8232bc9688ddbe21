// Ends the emulated machine: the emulator powers off when it reads "Shutdown" on this port.
#pragma once

namespace Emulator {

// The UART's divisor as the run left it ("[pc] uart-divisor=..."), the last line of every run,
// "[pc] result=...", then power-off.
[[noreturn]] void Finish(const char* Result);

} // namespace Emulator
