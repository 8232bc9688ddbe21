// What the format engine and its firmware conversions share.
#pragma once

#include "Library/BasePrintLib/PrintLib.h"

// The engine's scratch space: the digits of one number (at most 20 decimal digits and 6 group
// separators) or one rendered GUID, time or status text (at most 36 characters and the zero).
constexpr UINT64 CONVERSION_SCRATCH_SIZE = 38;

// Writes the low 8 bits of Character Count times from Cursor, stopping before End; a count of zero
// or less writes nothing. Returns the cursor after the last byte written.
CHAR8* EmitRepeated(CHAR8* Cursor, const CHAR8* End, INT64 Count, UINT64 Character);

// The texts of %g, %t and %r: a constant text, or Scratch (CONVERSION_SCRATCH_SIZE bytes) filled
// through FormatText.
const CHAR8* RenderGuidText(const EFI_GUID* Guid, CHAR8* Scratch);
const CHAR8* RenderTimeText(const EFI_TIME* Time, CHAR8* Scratch);
const CHAR8* RenderStatusText(EFI_STATUS Status, CHAR8* Scratch);
