#include "platform/graphics/AccelerateFilters.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace plat {

namespace {
bool valid(const vImage_Buffer* b) {
  return b && b->data && b->width > 0 && b->height > 0 && b->rowBytes >= b->width * 4;
}
const uint8_t* rowOf(const vImage_Buffer* b, size_t y) {
  return static_cast<const uint8_t*>(b->data) + y * b->rowBytes;
}
uint8_t* mutableRowOf(const vImage_Buffer* b, size_t y) {
  return static_cast<uint8_t*>(b->data) + y * b->rowBytes;
}
bool sameSize(const vImage_Buffer* a, const vImage_Buffer* b) {
  return a->width == b->width && a->height == b->height;
}

// Edge-extend and background-fill boxes by sliding sums: each output pixel costs the same
// whatever the box size, and a box wider than the image counts the extended edge or the
// background as often as it reaches beyond the image. RowSum holds a row's window sum (255
// times the kernel width at most).
template <typename RowSum>
vImage_Error boxBySlidingSums(const vImage_Buffer* src, const vImage_Buffer* dest, size_t offX,
                              size_t offY, uint32_t kernelHeight, uint32_t kernelWidth,
                              const uint8_t* background, bool extend) {
  using Wide = unsigned __int128;
  const size_t w = dest->width, h = dest->height;
  const int64_t rx = kernelWidth / 2, ry = kernelHeight / 2;
  const int64_t sw = static_cast<int64_t>(src->width), sh = static_cast<int64_t>(src->height);
  // The sum over positions [from, to] of a line of n values; positions outside the line are
  // the nearest end (extend) or `outside`.
  auto windowSum = [extend](auto at, int64_t n, int64_t from, int64_t to, Wide outside) {
    Wide below = Wide(std::max<int64_t>(0, std::min<int64_t>(to, -1) - from + 1));
    Wide above = Wide(std::max<int64_t>(0, to - std::max(from, n) + 1));
    Wide sum = below * (extend ? Wide(at(0)) : outside) + above * (extend ? Wide(at(n - 1)) : outside);
    for (int64_t i = std::max<int64_t>(from, 0); i <= std::min(to, n - 1); ++i) sum += at(i);
    return sum;
  };
  auto valueAt = [extend](auto at, int64_t n, int64_t i, Wide outside) -> Wide {
    if (i >= 0 && i < n) return at(i);
    return extend ? Wide(at(i < 0 ? 0 : n - 1)) : outside;
  };
  // Horizontal: window sums of every source row at the destination's columns.
  std::vector<RowSum> rows(w * size_t(sh) * 4);
  for (int64_t y = 0; y < sh; ++y) {
    const uint8_t* line = rowOf(src, size_t(y));
    for (int k = 0; k < 4; ++k) {
      auto at = [line, k](int64_t i) -> uint64_t { return line[size_t(i) * 4 + k]; };
      Wide bg = background ? background[k] : 0;
      int64_t c = int64_t(offX);
      Wide sum = windowSum(at, sw, c - rx, c + rx, bg);
      for (size_t x = 0; x < w; ++x, ++c) {
        if (x > 0) sum = sum + valueAt(at, sw, c + rx, bg) - valueAt(at, sw, c - rx - 1, bg);
        rows[(size_t(y) * w + x) * 4 + k] = RowSum(sum);
      }
    }
  }
  // Vertical over the row sums; outside the image the background counts a whole box row.
  const Wide area = Wide(kernelWidth) * kernelHeight;
  for (size_t x = 0; x < w; ++x) {
    for (int k = 0; k < 4; ++k) {
      auto at = [&rows, w, x, k](int64_t j) -> uint64_t {
        return rows[(size_t(j) * w + x) * 4 + k];
      };
      Wide bg = background ? Wide(background[k]) * kernelWidth : 0;
      int64_t c = int64_t(offY);
      Wide sum = windowSum(at, sh, c - ry, c + ry, bg);
      for (size_t y = 0; y < h; ++y, ++c) {
        if (y > 0) sum = sum + valueAt(at, sh, c + ry, bg) - valueAt(at, sh, c - ry - 1, bg);
        mutableRowOf(dest, y)[x * 4 + k] = uint8_t((sum + area / 2) / area);
      }
    }
  }
  return kvImageNoError;
}

}  // namespace

vImage_Error vImageBoxConvolve_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest, void*,
                                        size_t offX, size_t offY, uint32_t kernelHeight,
                                        uint32_t kernelWidth, const uint8_t backgroundColor[4],
                                        uint32_t flags) {
  if (!valid(src) || !valid(dest)) return kvImageInvalidParameter;
  if (kernelWidth % 2 == 0 || kernelHeight % 2 == 0) return kvImageInvalidKernelSize;
  const uint32_t edge = flags & (kvImageCopyInPlace | kvImageBackgroundColorFill |
                                 kvImageEdgeExtend | kvImageTruncateKernel);
  if (edge == 0 || (edge & (edge - 1)) != 0) return kvImageInvalidEdgeStyle;
  if (edge == kvImageBackgroundColorFill && !backgroundColor) return kvImageInvalidParameter;
  if (offX > src->width || offY > src->height || dest->width > src->width - offX ||
      dest->height > src->height - offY)
    return kvImageRoiLargerThanInputBuffer;
  const size_t w = dest->width, h = dest->height;
  if (flags & kvImageGetTempBufferSize)
    return static_cast<vImage_Error>(w * h * 4 * sizeof(uint32_t));
  if (edge == kvImageEdgeExtend || edge == kvImageBackgroundColorFill) {
    // A row's window sum fits 32 bits up to this kernel width.
    const bool narrow = kernelWidth <= 0xFFFFFFFFu / 255;
    const uint8_t* bg = edge == kvImageBackgroundColorFill ? backgroundColor : nullptr;
    bool extend = edge == kvImageEdgeExtend;
    return narrow ? boxBySlidingSums<uint32_t>(src, dest, offX, offY, kernelHeight, kernelWidth,
                                               bg, extend)
                  : boxBySlidingSums<uint64_t>(src, dest, offX, offY, kernelHeight, kernelWidth,
                                               bg, extend);
  }

  const int64_t rx = kernelWidth / 2, ry = kernelHeight / 2;
  const int64_t sw = static_cast<int64_t>(src->width), sh = static_cast<int64_t>(src->height);
  // One pass per axis with running sums; `count` carries the truncated kernel's pixel count.
  std::vector<uint32_t> rows(w * static_cast<size_t>(sh) * 4), rowCount(w);
  auto fetch = [&](int64_t x, int64_t y, int k, bool& inside) -> uint32_t {
    inside = x >= 0 && y >= 0 && x < sw && y < sh;
    if (inside) return rowOf(src, size_t(y))[size_t(x) * 4 + k];
    if (edge == kvImageBackgroundColorFill) return backgroundColor[k];
    x = std::clamp<int64_t>(x, 0, sw - 1);
    y = std::clamp<int64_t>(y, 0, sh - 1);
    return rowOf(src, size_t(y))[size_t(x) * 4 + k];
  };
  // Horizontal: every source row, the destination's columns.
  for (int64_t y = 0; y < sh; ++y) {
    for (size_t x = 0; x < w; ++x) {
      int64_t cx = static_cast<int64_t>(x + offX);
      uint32_t n = 0;
      uint32_t sum[4] = {0, 0, 0, 0};
      for (int64_t i = cx - rx; i <= cx + rx; ++i) {
        bool inside;
        for (int k = 0; k < 4; ++k) sum[k] += fetch(i, y, k, inside);
        if (inside) ++n;
      }
      if (edge == kvImageTruncateKernel) {
        // Recompute over the pixels inside only.
        std::fill(sum, sum + 4, 0);
        for (int64_t i = std::max<int64_t>(cx - rx, 0); i <= std::min(cx + rx, sw - 1); ++i)
          for (int k = 0; k < 4; ++k) sum[k] += rowOf(src, size_t(y))[size_t(i) * 4 + k];
      }
      rowCount[x] = n;
      for (int k = 0; k < 4; ++k) rows[(size_t(y) * w + x) * 4 + k] = sum[k];
    }
  }
  // Vertical over the horizontal sums.
  for (size_t y = 0; y < h; ++y) {
    int64_t cy = static_cast<int64_t>(y + offY);
    uint8_t* d = mutableRowOf(dest, y);
    for (size_t x = 0; x < w; ++x) {
      uint64_t sum[4] = {0, 0, 0, 0};
      uint64_t area = uint64_t(kernelWidth) * kernelHeight;
      if (edge == kvImageTruncateKernel) {
        int64_t y0 = std::max<int64_t>(cy - ry, 0), y1 = std::min(cy + ry, sh - 1);
        for (int64_t j = y0; j <= y1; ++j)
          for (int k = 0; k < 4; ++k) sum[k] += rows[(size_t(j) * w + x) * 4 + k];
        area = uint64_t(rowCount[x]) * uint64_t(y1 - y0 + 1);
      } else if (edge == kvImageCopyInPlace &&
                 (cy - ry < 0 || cy + ry >= sh || int64_t(x + offX) - rx < 0 ||
                  int64_t(x + offX) + rx >= sw)) {
        std::memcpy(d + x * 4, rowOf(src, size_t(cy)) + (x + offX) * 4, 4);
        continue;
      } else {
        for (int64_t j = cy - ry; j <= cy + ry; ++j) {
          if (j >= 0 && j < sh) {
            for (int k = 0; k < 4; ++k) sum[k] += rows[(size_t(j) * w + x) * 4 + k];
          } else if (edge == kvImageBackgroundColorFill) {
            for (int k = 0; k < 4; ++k) sum[k] += uint64_t(backgroundColor[k]) * kernelWidth;
          } else {
            size_t jj = size_t(std::clamp<int64_t>(j, 0, sh - 1));
            for (int k = 0; k < 4; ++k) sum[k] += rows[(jj * w + x) * 4 + k];
          }
        }
      }
      for (int k = 0; k < 4; ++k) d[x * 4 + k] = uint8_t((sum[k] + area / 2) / area);
    }
  }
  return kvImageNoError;
}

vImage_Error vImageMatrixMultiply_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                           const int16_t matrix[16], int32_t divisor,
                                           const int16_t* preBias, const int32_t* postBias,
                                           uint32_t) {
  if (!valid(src) || !valid(dest) || !matrix || divisor == 0) return kvImageInvalidParameter;
  if (!sameSize(src, dest)) return kvImageBufferSizeMismatch;
  for (size_t y = 0; y < src->height; ++y) {
    const uint8_t* s = rowOf(src, y);
    uint8_t* d = mutableRowOf(dest, y);
    for (size_t x = 0; x < src->width; ++x) {
      int64_t in[4];
      for (int j = 0; j < 4; ++j) in[j] = int64_t(s[x * 4 + j]) + (preBias ? preBias[j] : 0);
      for (int i = 0; i < 4; ++i) {
        int64_t acc = postBias ? postBias[i] : 0;
        for (int j = 0; j < 4; ++j) acc += in[j] * matrix[j * 4 + i];
        d[x * 4 + i] = uint8_t(std::clamp<int64_t>(acc / divisor, 0, 255));
      }
    }
  }
  return kvImageNoError;
}

vImage_Error vImageHorizontalReflect_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                              uint32_t) {
  if (!valid(src) || !valid(dest)) return kvImageInvalidParameter;
  if (!sameSize(src, dest)) return kvImageBufferSizeMismatch;
  const size_t w = src->width;
  std::vector<uint8_t> row(w * 4);
  for (size_t y = 0; y < src->height; ++y) {
    std::memcpy(row.data(), rowOf(src, y), w * 4);  // the source row may be the destination's
    uint8_t* d = mutableRowOf(dest, y);
    for (size_t x = 0; x < w; ++x) std::memcpy(d + x * 4, row.data() + (w - 1 - x) * 4, 4);
  }
  return kvImageNoError;
}

vImage_Error vImageVerticalReflect_ARGB8888(const vImage_Buffer* src, const vImage_Buffer* dest,
                                            uint32_t) {
  if (!valid(src) || !valid(dest)) return kvImageInvalidParameter;
  if (!sameSize(src, dest)) return kvImageBufferSizeMismatch;
  const size_t w = src->width, h = src->height;
  std::vector<uint8_t> a(w * 4), b(w * 4);
  for (size_t y = 0; y < (h + 1) / 2; ++y) {
    size_t z = h - 1 - y;
    std::memcpy(a.data(), rowOf(src, y), w * 4);
    std::memcpy(b.data(), rowOf(src, z), w * 4);
    std::memcpy(mutableRowOf(dest, y), b.data(), w * 4);
    std::memcpy(mutableRowOf(dest, z), a.data(), w * 4);
  }
  return kvImageNoError;
}

}  // namespace plat
