// The three things a platform takes the driver in: its dependency expression, its firmware file
// (FFS) and a firmware volume holding that one file; and the file put into a volume of the
// platform's own.
#pragma once

#include <string>
#include <vector>

#include "UefiDefinitions/UefiBaseTypes.h"

using Bytes = std::vector<UINT8>;

// PUSH the CPU Architectural Protocol, PUSH the configuration database protocol, AND, END.
Bytes DriverDependencyExpression();

// A driver file named FileName with DXE_DEPEX, PE32 and USER_INTERFACE sections. Throws
// std::length_error when it does not fit the 24-bit size fields.
Bytes DriverFile(const EFI_GUID& FileName, const Bytes& Depex, const Bytes& Image,
                 const std::u16string& UiName);

// An FFSv2 volume of whole blocks, erase polarity 1, holding File and free space.
Bytes FirmwareVolume(const Bytes& File);
// Such a volume of Blocks blocks of 4 KiB, all free.
Bytes EmptyVolume(UINTN Blocks);
// A copy of Volume, an FFSv2 volume with erase polarity 1, with File in its free space after its
// last file: nothing else changes, so the copy can go back where the volume came from. Throws
// std::invalid_argument, saying why, when Volume is no such volume, File no firmware file, a file
// of File's name is there already, or there is no room.
Bytes InsertFile(const Bytes& Volume, const Bytes& File);
