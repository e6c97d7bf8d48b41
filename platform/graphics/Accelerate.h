#pragma once
// The few image functions of the platform's Accelerate framework that the image library uses:
// an affine warp of 32-bit pixels and unpremultiplication. Own code.
//
// Thread-safety: the functions touch only the buffers they are given; any thread.

#include <cstddef>
#include <cstdint>

#include "platform/graphics/CGGeometry.h"

namespace plat {

struct vImage_Buffer {
  void* data = nullptr;
  size_t height = 0;
  size_t width = 0;
  size_t rowBytes = 0;
};

using vImage_Error = int64_t;
constexpr vImage_Error kvImageNoError = 0;
constexpr vImage_Error kvImageInvalidParameter = -21773;
constexpr vImage_Error kvImageBufferSizeMismatch = -21766;

// Flags.
constexpr uint32_t kvImageNoFlags = 0;
constexpr uint32_t kvImageBackgroundColorFill = 4;

// Warps 4-byte pixels (any channel order; pixels are copied whole). `transform` maps source
// to destination coordinates in pixel units with the origin at the bottom-left corner of each
// buffer (y up, as CoreGraphics). Each destination pixel takes the nearest source pixel, or
// `background` (4 bytes in the buffer's order) where none maps. Flags other than
// kvImageBackgroundColorFill are ignored. An invalid transform or buffer gives an error.
vImage_Error vImageAffineWarp_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                       void* tempBuffer, const CGAffineTransform* transform,
                                       const uint8_t background[4], uint32_t flags);

// Turns premultiplied pixels into straight ones, in place when src == dest. ARGB8888 has the
// alpha in byte 0 of each pixel, RGBA8888 in byte 3.
vImage_Error vImageUnpremultiplyData_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t flags);
vImage_Error vImageUnpremultiplyData_RGBA8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t flags);

}  // namespace plat
