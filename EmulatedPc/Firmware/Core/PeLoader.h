// Loads a PE32+ EFI image for x86-64, a boot-service driver or an application as the caller asks:
// checks its headers, copies its headers and sections to their place, and applies its base
// relocations for that place.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace PeLoader {

struct LoadedImage {
  uint64_t Base;
  uint64_t Size;
  uint64_t EntryPoint;
  uint64_t LinkedBase;
  uint32_t Relocations;      // 64-bit addresses adjusted
  uint32_t CertificateBytes; // the signatures' table, 0 for an unsigned image
  uint16_t Sections;
};

// The one kind of image a caller accepts: another subsystem is refused.
enum class Kind { BootServiceDriver, Application };

// Returns null and fills Image on success, or the reason the file cannot be loaded.
const char* Load(const uint8_t* File, size_t FileSize, Kind Expected, uint8_t* Destination,
                 size_t Capacity, LoadedImage& Image);

} // namespace PeLoader
