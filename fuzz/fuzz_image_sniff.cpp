// Image type detection: any bytes give a type code of the table, a known kind has a type
// identifier exactly when the platform can name it, and the answer depends only on the first
// 16 bytes.

#include "fuzz/FuzzSupport.h"
#include "image/HVImageKind.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HVImageKind kind = HVSniffImageType(data, size);
  FUZZ_CHECK(kind <= HVImageKindWebP, std::to_string(kind));
  if (size < 16) FUZZ_CHECK(kind == HVImageKindUnknown, "short data has a type");
  bool named = !HVUTTypeForImageKind(kind).empty();
  FUZZ_CHECK(named == (kind != HVImageKindUnknown && kind != HVImageKindWebP),
             std::to_string(kind));
  if (size >= 16) FUZZ_CHECK(HVSniffImageType(data, 16) == kind, "looked past 16 bytes");
  return 0;
}
