// Decoding a 1080p JPEG and a 1080p PNG to the standard bitmap through HVImageDecoder, beside
// libjpeg-turbo and libpng decoding the same files straight into the same layout (32-bit BGRA
// rows). Prints megapixels per second; the last line is "ratio: R", the lower of the two
// system-over-library figures.

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

// The codec headers need size_t and FILE declared before them.
#include <jpeglib.h>
#include <png.h>

#include "bench/image/BenchImages.h"
#include "image/HVImageDecoder.h"
#include "platform/graphics/CGImageDestination.h"

namespace {

using namespace bench_images;

const plat::Data& jpegFile() {
  static const plat::Data d = plat::CGImageEncodeJPEG(picture(), 0.9);
  return d;
}
const plat::Data& pngFile() {
  static const plat::Data d = plat::CGImageEncodePNG(picture(), false);
  return d;
}

void systemDecode(benchmark::State& state, const plat::Data& file) {
  for (auto _ : state) {
    auto decoder = HVImageDecoder::decoderWithDataScale(file, 1);
    auto frame = decoder ? decoder->frameAtIndexDecodeForDisplay(0, true) : nullptr;
    if (!frame || !frame->image() || frame->image()->CGImage()->width() != size_t(kWidth))
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(frame);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
void BM_System_JPEG(benchmark::State& s) { systemDecode(s, jpegFile()); }
void BM_System_PNG(benchmark::State& s) { systemDecode(s, pngFile()); }

void BM_Library_JPEG(benchmark::State& state) {
  const plat::Data& file = jpegFile();
  for (auto _ : state) {
    jpeg_decompress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_decompress(&c);
    jpeg_mem_src(&c, file.bytes(), file.length());
    jpeg_read_header(&c, TRUE);
    c.out_color_space = JCS_EXT_BGRA;
    jpeg_start_decompress(&c);
    auto* pixels = static_cast<uint8_t*>(std::calloc(size_t(c.output_width) * c.output_height, 4));
    while (c.output_scanline < c.output_height) {
      JSAMPROW row = pixels + size_t(c.output_scanline) * c.output_width * 4;
      jpeg_read_scanlines(&c, &row, 1);
    }
    jpeg_finish_decompress(&c);
    jpeg_destroy_decompress(&c);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Library_PNG(benchmark::State& state) {
  const plat::Data& file = pngFile();
  for (auto _ : state) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.bytes(), file.length())) {
      state.SkipWithError("libpng failed");
      break;
    }
    image.format = PNG_FORMAT_BGRA;
    auto* pixels = static_cast<uint8_t*>(std::calloc(size_t(image.width) * image.height, 4));
    png_image_finish_read(&image, nullptr, pixels, 0, nullptr);
    benchmark::DoNotOptimize(pixels);
    std::free(pixels);
    png_image_free(&image);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

}  // namespace

int main(int argc, char** argv) {
  jpegFile();
  pngFile();
  return runCases(argc, argv, "decode",
                  {{"JPEG1080p", BM_System_JPEG, BM_Library_JPEG},
                   {"PNG1080p", BM_System_PNG, BM_Library_PNG}});
}
