// Box convolution, matrix multiply and reflections of 4-byte pixels.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/graphics/AccelerateFilters.h"

using namespace plat;

namespace {

struct Pixels {
  Pixels(size_t w, size_t h, size_t pad = 0) : data((w * 4 + pad) * h) {
    buf = {data.data(), h, w, w * 4 + pad};
  }
  uint8_t* at(size_t x, size_t y) { return data.data() + y * buf.rowBytes + x * 4; }
  std::vector<uint8_t> data;
  vImage_Buffer buf;
};

TEST(AccelerateFiltersTest, BoxConvolutionAveragesWithEachEdgeStyle) {
  // One row 0, 0, 90, 0, 0 in every channel (rows padded), 1 x 5 source, 3-wide box.
  Pixels src(5, 1, 8), dest(5, 1);
  for (int k = 0; k < 4; ++k) src.at(2, 0)[k] = 90;
  EXPECT_EQ(vImageBoxConvolve_ARGB8888(&src.buf, &dest.buf, nullptr, 0, 0, 1, 3, nullptr,
                                       kvImageEdgeExtend),
            kvImageNoError);
  EXPECT_EQ(std::vector<uint8_t>({dest.at(0, 0)[0], dest.at(1, 0)[0], dest.at(2, 0)[0],
                                  dest.at(3, 0)[0], dest.at(4, 0)[0]}),
            (std::vector<uint8_t>{0, 30, 30, 30, 0}));

  // Edges: extend repeats the edge pixel, background fill uses the colour, truncate averages
  // what is inside.
  for (int k = 0; k < 4; ++k) src.at(0, 0)[k] = 60;
  const uint8_t bg[4] = {150, 150, 150, 150};
  vImageBoxConvolve_ARGB8888(&src.buf, &dest.buf, nullptr, 0, 0, 1, 3, nullptr, kvImageEdgeExtend);
  EXPECT_EQ(dest.at(0, 0)[1], 40);  // (60 + 60 + 0) / 3
  vImageBoxConvolve_ARGB8888(&src.buf, &dest.buf, nullptr, 0, 0, 1, 3, bg,
                             kvImageBackgroundColorFill);
  EXPECT_EQ(dest.at(0, 0)[1], 70);  // (150 + 60 + 0) / 3
  vImageBoxConvolve_ARGB8888(&src.buf, &dest.buf, nullptr, 0, 0, 1, 3, nullptr,
                             kvImageTruncateKernel);
  EXPECT_EQ(dest.at(0, 0)[1], 30);  // (60 + 0) / 2
  vImageBoxConvolve_ARGB8888(&src.buf, &dest.buf, nullptr, 0, 0, 1, 3, nullptr, kvImageCopyInPlace);
  EXPECT_EQ(dest.at(0, 0)[1], 60);

  // Two dimensions: a single bright pixel spreads evenly over a 3 x 3 box.
  Pixels sq(5, 5), out(5, 5);
  for (int k = 0; k < 4; ++k) sq.at(2, 2)[k] = 225;
  vImageBoxConvolve_ARGB8888(&sq.buf, &out.buf, nullptr, 0, 0, 3, 3, nullptr, kvImageEdgeExtend);
  EXPECT_EQ(out.at(1, 1)[3], 25);
  EXPECT_EQ(out.at(3, 3)[0], 25);
  EXPECT_EQ(out.at(0, 0)[0], 0);
  // A region of interest: destination (0, 0) sits on source (2, 2).
  Pixels roi(1, 1);
  vImageBoxConvolve_ARGB8888(&sq.buf, &roi.buf, nullptr, 2, 2, 1, 1, nullptr, kvImageEdgeExtend);
  EXPECT_EQ(roi.at(0, 0)[2], 225);

  EXPECT_GE(vImageBoxConvolve_ARGB8888(&sq.buf, &out.buf, nullptr, 0, 0, 3, 3, nullptr,
                                       kvImageEdgeExtend | kvImageGetTempBufferSize),
            0);
  EXPECT_EQ(vImageBoxConvolve_ARGB8888(&sq.buf, &out.buf, nullptr, 0, 0, 2, 3, nullptr,
                                       kvImageEdgeExtend),
            kvImageInvalidKernelSize);
  EXPECT_EQ(vImageBoxConvolve_ARGB8888(&sq.buf, &out.buf, nullptr, 0, 0, 3, 3, nullptr, 0),
            kvImageInvalidEdgeStyle);
  EXPECT_EQ(vImageBoxConvolve_ARGB8888(&sq.buf, &out.buf, nullptr, 1, 0, 3, 3, nullptr,
                                       kvImageEdgeExtend),
            kvImageRoiLargerThanInputBuffer);
}

TEST(AccelerateFiltersTest, MatrixMultiplyMixesChannelsInBufferOrder) {
  Pixels p(2, 1);
  uint8_t px[8] = {10, 20, 30, 255, 200, 100, 50, 128};
  std::memcpy(p.data.data(), px, 8);
  // Swap channels 0 and 2, keep 1 and 3, with divisor 256.
  int16_t m[16] = {0,   0,   256, 0,  //
                   0,   256, 0,   0,  //
                   256, 0,   0,   0,  //
                   0,   0,   0,   256};
  ASSERT_EQ(vImageMatrixMultiply_ARGB8888(&p.buf, &p.buf, m, 256, nullptr, nullptr, 0),
            kvImageNoError);
  EXPECT_EQ(std::vector<uint8_t>(p.data.begin(), p.data.begin() + 8),
            (std::vector<uint8_t>{30, 20, 10, 255, 50, 100, 200, 128}));
  // Biases and clamping: channel 0 doubled plus 100 saturates; a negative result is 0.
  int16_t m2[16] = {2, 0, 0, 0, 0, -1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  int16_t pre[4] = {0, 0, 5, 0};
  int32_t post[4] = {100, 0, 0, 0};
  vImageMatrixMultiply_ARGB8888(&p.buf, &p.buf, m2, 1, pre, post, 0);
  EXPECT_EQ(p.at(0, 0)[0], 160);
  EXPECT_EQ(p.at(1, 0)[0], 200);
  EXPECT_EQ(p.at(1, 0)[0 + 1], 0);
  EXPECT_EQ(p.at(0, 0)[2], 15);
  EXPECT_EQ(vImageMatrixMultiply_ARGB8888(&p.buf, &p.buf, m2, 0, nullptr, nullptr, 0),
            kvImageInvalidParameter);
}

TEST(AccelerateFiltersTest, ReflectionsInPlaceAndIntoAnotherBuffer) {
  // 3 x 3 pixels numbered 0..8 in row order (every channel holds the number).
  Pixels p(3, 3, 4), q(3, 3);
  for (size_t y = 0; y < 3; ++y)
    for (size_t x = 0; x < 3; ++x) std::memset(p.at(x, y), int(y * 3 + x), 4);
  auto numbers = [](Pixels& b) {
    std::vector<int> v;
    for (size_t y = 0; y < 3; ++y)
      for (size_t x = 0; x < 3; ++x) v.push_back(b.at(x, y)[3]);
    return v;
  };
  ASSERT_EQ(vImageHorizontalReflect_ARGB8888(&p.buf, &q.buf, 0), kvImageNoError);
  EXPECT_EQ(numbers(q), (std::vector<int>{2, 1, 0, 5, 4, 3, 8, 7, 6}));
  ASSERT_EQ(vImageVerticalReflect_ARGB8888(&p.buf, &p.buf, 0), kvImageNoError);
  EXPECT_EQ(numbers(p), (std::vector<int>{6, 7, 8, 3, 4, 5, 0, 1, 2}));
  vImageHorizontalReflect_ARGB8888(&p.buf, &p.buf, 0);
  EXPECT_EQ(numbers(p), (std::vector<int>{8, 7, 6, 5, 4, 3, 2, 1, 0}));
  Pixels small(2, 3);
  EXPECT_EQ(vImageVerticalReflect_ARGB8888(&p.buf, &small.buf, 0), kvImageBufferSizeMismatch);
}

}  // namespace
