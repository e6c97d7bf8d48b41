#pragma once
// Accelerate's box convolution, matrix multiply and reflections of 4-byte pixels (any channel
// order: channels are treated alike). Own code.
//
// Thread-safety: the functions touch only the buffers they are given; any thread.

#include <cstdint>

#include "platform/graphics/Accelerate.h"

namespace plat {

constexpr vImage_Error kvImageInvalidKernelSize = -21767;
constexpr vImage_Error kvImageRoiLargerThanInputBuffer = -21768;
constexpr vImage_Error kvImageInvalidEdgeStyle = -21769;

constexpr uint32_t kvImageCopyInPlace = 2;
constexpr uint32_t kvImageEdgeExtend = 8;
constexpr uint32_t kvImageTruncateKernel = 64;
constexpr uint32_t kvImageGetTempBufferSize = 128;

// Averages each channel over a kernelWidth x kernelHeight box (both odd) around each pixel.
// Destination pixel (x, y) is centred on source pixel (x + srcOffsetToROI_X,
// y + srcOffsetToROI_Y); that region must lie inside the source. Pixels beyond the source's
// edge are the nearest edge pixel (kvImageEdgeExtend), `backgroundColor`
// (kvImageBackgroundColorFill) or left out of the average (kvImageTruncateKernel); one of
// the three must be given, or kvImageCopyInPlace, which keeps the source pixel where the box
// does not fit. With kvImageGetTempBufferSize nothing is written and the size of the scratch
// buffer is returned (>= 0). `tempBuffer` may be null. src and dest must not overlap.
// With the edge extended or the background filled in, the cost per pixel does not depend on
// the box size, and boxes wider than the image are exact.
vImage_Error vImageBoxConvolve_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                        void* tempBuffer, size_t srcOffsetToROI_X,
                                        size_t srcOffsetToROI_Y, uint32_t kernelHeight,
                                        uint32_t kernelWidth, const uint8_t backgroundColor[4],
                                        uint32_t flags);

// Each destination pixel d from source pixel s:
//   d[i] = clamp((sum over j of (s[j] + preBias[j]) * matrix[j * 4 + i] + postBias[i]) / divisor)
// with channels in buffer order and division rounding toward zero. Null biases count as 0.
// A divisor of 0 is an error. In place when src == dest.
vImage_Error vImageMatrixMultiply_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                           const int16_t matrix[16], int32_t divisor,
                                           const int16_t* preBias, const int32_t* postBias,
                                           uint32_t flags);

// Mirror left-right / top-bottom. In place when src == dest.
vImage_Error vImageHorizontalReflect_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t flags);
vImage_Error vImageVerticalReflect_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                            uint32_t flags);

}  // namespace plat
