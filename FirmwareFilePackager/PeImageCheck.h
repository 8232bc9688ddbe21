// Whether a file is what a DXE dispatcher can load as this kind of driver.
#pragma once

#include <string>
#include <vector>

#include "UefiDefinitions/UefiBaseTypes.h"

// Empty when Image is a PE32+ x86-64 EFI boot-service driver; otherwise what it is not.
std::string ProblemWithBootServiceDriver(const std::vector<UINT8>& Image);
