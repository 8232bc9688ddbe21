// The two 8259 interrupt controllers of the PC: initialized and fully masked, so that only the
// local APIC delivers interrupts.
#pragma once

namespace LegacyPic {

void MaskAll();

} // namespace LegacyPic
