// A DXE dispatcher over the firmware volume in the ROM: it checks the volume and every file in
// it, then starts each driver file whose dependency expression holds against the protocols
// installed, pass after pass, until a pass starts nothing. Storage it cannot trust or an
// expression it cannot evaluate ends the run with a result that names it.
#pragma once

#include <stdint.h>

namespace Dispatcher {

// Loads and enters a driver from the body of its PE32 section; passes count from 1.
using StartFn = void (*)(const uint8_t* Image, uint64_t ImageBytes, unsigned Pass);
// Called after each pass: true when the platform installed a protocol, worth another pass.
using AfterPassFn = bool (*)(unsigned Pass);

void Run(const uint8_t* Volume, uint64_t VolumeBytes, StartFn Start, AfterPassFn AfterPass);

} // namespace Dispatcher
