// Box convolution against a direct reference: every box size, also boxes far wider than the
// image, with the edge extended or the background filled in, and a region of interest.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/graphics/AccelerateFilters.h"

using namespace plat;

namespace {

// The average over the box, computed pixel by pixel.
uint8_t reference(const std::vector<uint8_t>& src, int64_t sw, int64_t sh, int64_t cx, int64_t cy,
                  int64_t kw, int64_t kh, int k, const uint8_t* background) {
  uint64_t sum = 0;
  for (int64_t j = cy - kh / 2; j <= cy + kh / 2; ++j) {
    for (int64_t i = cx - kw / 2; i <= cx + kw / 2; ++i) {
      bool inside = i >= 0 && j >= 0 && i < sw && j < sh;
      if (!inside && background) {
        sum += background[k];
      } else {
        int64_t x = std::clamp<int64_t>(i, 0, sw - 1), y = std::clamp<int64_t>(j, 0, sh - 1);
        sum += src[size_t((y * sw + x) * 4 + k)];
      }
    }
  }
  uint64_t area = uint64_t(kw * kh);
  return uint8_t((sum + area / 2) / area);
}

TEST(BoxConvolveTest, MatchesTheDirectSumForEveryBoxSize) {
  const int64_t sw = 9, sh = 5;
  std::mt19937 rng(7);
  std::vector<uint8_t> src(size_t(sw * sh * 4));
  for (auto& b : src) b = uint8_t(rng());
  vImage_Buffer in{src.data(), size_t(sh), size_t(sw), size_t(sw * 4)};
  const uint8_t background[4] = {10, 200, 30, 255};
  struct Region {
    size_t x, y, w, h;
  } regions[] = {{0, 0, size_t(sw), size_t(sh)}, {2, 1, 5, 3}};
  for (const uint8_t* bg : {static_cast<const uint8_t*>(nullptr), background}) {
    for (const auto& r : regions) {
      for (uint32_t kw : {1u, 3u, 7u, 17u, 41u}) {
        for (uint32_t kh : {1u, 5u, 13u, 99u}) {
          SCOPED_TRACE(testing::Message() << (bg ? "fill " : "extend ") << kw << "x" << kh
                                          << " at " << r.x << "," << r.y);
          std::vector<uint8_t> out(r.w * r.h * 4);
          vImage_Buffer dest{out.data(), r.h, r.w, r.w * 4};
          ASSERT_EQ(vImageBoxConvolve_ARGB8888(&in, &dest, nullptr, r.x, r.y, kh, kw, bg,
                                               bg ? kvImageBackgroundColorFill : kvImageEdgeExtend),
                    kvImageNoError);
          for (size_t y = 0; y < r.h; ++y)
            for (size_t x = 0; x < r.w; ++x)
              for (int k = 0; k < 4; ++k)
                ASSERT_EQ(out[(y * r.w + x) * 4 + k],
                          reference(src, sw, sh, int64_t(x + r.x), int64_t(y + r.y), kw, kh, k, bg))
                    << x << "," << y << " channel " << k;
        }
      }
    }
  }
}

TEST(BoxConvolveTest, HugeBoxesAverageTheExtendedEdges) {
  // One row: 0 then 255. A box of four billion pixels sees (almost) half of each.
  std::vector<uint8_t> src = {0, 0, 0, 0, 255, 255, 255, 255};
  vImage_Buffer in{src.data(), 1, 2, 8};
  std::vector<uint8_t> out(8);
  vImage_Buffer dest{out.data(), 1, 2, 8};
  ASSERT_EQ(vImageBoxConvolve_ARGB8888(&in, &dest, nullptr, 0, 0, 4294967295u, 4294967295u,
                                       nullptr, kvImageEdgeExtend),
            kvImageNoError);
  EXPECT_NEAR(out[0], 128, 1);
  EXPECT_NEAR(out[4], 128, 1);
}

}  // namespace
