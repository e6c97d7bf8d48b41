#pragma once
// Image type codes, detection of the type from the first bytes of data, and the system type
// identifier of each type. Pure functions: any thread.

#include <cstdint>
#include <string>

#include "platform/foundation/Data.h"

enum HVImageKind : uint64_t {
  HVImageKindUnknown = 0,
  HVImageKindJPEG = 1,
  HVImageKindJPEG2000 = 2,
  HVImageKindTIFF = 3,
  HVImageKindBMP = 4,
  HVImageKindICO = 5,
  HVImageKindICNS = 6,
  HVImageKindGIF = 7,
  HVImageKindPNG = 8,
  HVImageKindWebP = 9,
};

// The type of encoded data from its leading bytes. Data shorter than 16 bytes is unknown.
HVImageKind HVSniffImageType(const plat::Data& data);
HVImageKind HVSniffImageType(const uint8_t* bytes, size_t length);

// The system type identifier of a type ("public.png", ...); empty for unknown, WebP and
// values outside the table.
std::string HVUTTypeForImageKind(uint64_t kind);

// WebP is not built in: always false.
bool HVWebPSupported();

// The line logged when WebP is asked for ("%s" the operation, "%d" a line number).
extern const char* const kHVWebPUnavailableFormat;
// Logs that line once per process (the decoder's rule).
void HVLogWebPUnavailableOnce(const char* function, int line);
