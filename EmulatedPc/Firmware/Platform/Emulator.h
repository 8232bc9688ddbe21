// Ends the emulated machine: the emulator powers off when it reads "Shutdown" on this port.
#pragma once

namespace Emulator {

[[noreturn]] void PowerOff();

} // namespace Emulator
