// Encoding a 1080p image to PNG and JPEG through HVImageEncoder, beside libpng and
// libjpeg-turbo encoding the same pixels (32-bit BGRX rows) with the same settings. Prints
// megapixels per second; the last line is "ratio: R", the lower of the two system-over-library
// figures.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

// The codec headers need size_t and FILE declared before them.
#include <jpeglib.h>
#include <png.h>

#include "bench/image/BenchImages.h"
#include "image/HVImageEncoder.h"

namespace {

using namespace bench_images;

const plat::UIImageRef& image() {
  static const plat::UIImageRef img = plat::UIImage::imageWithCGImage(picture(), 1);
  return img;
}

void systemEncode(benchmark::State& state, HVImageKind type, double quality) {
  for (auto _ : state) {
    plat::Data d = HVImageEncoder::encodeImageTypeQuality(image(), type, quality);
    if (d.empty()) state.SkipWithError("encode failed");
    benchmark::DoNotOptimize(d);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}
void BM_System_PNG(benchmark::State& s) { systemEncode(s, HVImageKindPNG, 1); }
void BM_System_JPEG(benchmark::State& s) { systemEncode(s, HVImageKindJPEG, 0.9); }

void pngAppend(png_structp png, png_bytep data, png_size_t n) {
  static_cast<plat::Data*>(png_get_io_ptr(png))->append(data, n);
}

void BM_Library_PNG(benchmark::State& state) {
  const plat::CGImageRef& img = image()->CGImage();
  for (auto _ : state) {
    plat::Data out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(png, &out, pngAppend, nullptr);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_set_bgr(png);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (int y = 0; y < kHeight; ++y)
      png_write_row(png, const_cast<png_bytep>(img->bytes() + size_t(y) * img->bytesPerRow()));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

void BM_Library_JPEG(benchmark::State& state) {
  const plat::CGImageRef& img = image()->CGImage();
  for (auto _ : state) {
    jpeg_compress_struct c;
    jpeg_error_mgr err;
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buf, &size);
    c.image_width = kWidth;
    c.image_height = kHeight;
    c.input_components = 4;
    c.in_color_space = JCS_EXT_BGRX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
      JSAMPROW row =
          const_cast<JSAMPROW>(img->bytes() + size_t(c.next_scanline) * img->bytesPerRow());
      jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    plat::Data out(buf, size);
    std::free(buf);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * kWidth * kHeight);
}

}  // namespace

int main(int argc, char** argv) {
  image();
  return runCases(argc, argv, "encode",
                  {{"PNG1080p", BM_System_PNG, BM_Library_PNG},
                   {"JPEG1080p", BM_System_JPEG, BM_Library_JPEG}});
}
