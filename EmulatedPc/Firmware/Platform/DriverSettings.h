// The build settings of the driver image this ROM carries, read from the VeskLapicTimerDxe.settings
// beside it when the ROM is built: the board answers on the driver's vector, configuration token
// and debug port, and the firmware's own lines go to that port too, into the same serial log.
#pragma once

#include <stdint.h>

#include "Platform/LegacyPic.h"
#include "Platform/LocalApic.h"

namespace DriverSettings {

constexpr uint8_t TIMER_VECTOR = DRIVER_TIMER_VECTOR;
constexpr uint64_t TSC_FREQUENCY_TOKEN = DRIVER_TSC_FREQUENCY_TOKEN;
constexpr uint16_t DEBUG_UART_PORT = DRIVER_DEBUG_UART_PORT;

// The vectors of the two 8259s' 16 lines (the halt watch's clock is one) and the spurious vector
// are the firmware's own.
constexpr unsigned LEGACY_PIC_LINES = 16;
static_assert(TIMER_VECTOR >= LegacyPic::FIRST_VECTOR + LEGACY_PIC_LINES &&
                  TIMER_VECTOR != LocalApic::SPURIOUS_VECTOR,
              "the driver's timer vector collides with one of the firmware's");

} // namespace DriverSettings
