#include "platform/graphics/CGBitmapContext.h"

#include <cmath>
#include <cstring>

#include "platform/foundation/NSLog.h"

namespace plat {

namespace internal {

struct MaskLayer {
  cairo_surface_t* mask = nullptr;  // A8, one byte of coverage per mask pixel
  cairo_matrix_t matrix;            // mask pixels to device space
  ~MaskLayer() {
    if (mask) cairo_surface_destroy(mask);
  }
};

void compositeMask(cairo_t* cr, MaskLayer& layer) {
  cairo_pattern_t* drawn = cairo_pop_group(cr);
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  cairo_set_source(cr, drawn);
  cairo_set_matrix(cr, &layer.matrix);
  cairo_mask_surface(cr, layer.mask, 0, 0);
  cairo_restore(cr);
  cairo_pattern_destroy(drawn);
}

cairo_filter_t filterFor(int quality) {
  switch (quality) {
    case kCGInterpolationNone:
      return CAIRO_FILTER_NEAREST;
    case kCGInterpolationLow:
      return CAIRO_FILTER_FAST;
    case kCGInterpolationHigh:
      return CAIRO_FILTER_BEST;
    default:
      return CAIRO_FILTER_GOOD;
  }
}

}  // namespace internal

namespace {

cairo_user_data_key_t kBitmapInfoKey;

}  // namespace

CGColorSpaceRef CGColorSpaceCreateDeviceRGB() { return std::make_shared<CGColorSpace>(); }

CGColorSpaceRef CGColorSpaceCreateDeviceGray() {
  auto space = std::make_shared<CGColorSpace>();
  space->model = kCGColorSpaceModelMonochrome;
  return space;
}

CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space) {
  return space ? space->model : kCGColorSpaceModelRGB;
}

size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space) {
  return CGColorSpaceGetModel(space) == kCGColorSpaceModelMonochrome ? 1 : 3;
}

namespace {

cairo_user_data_key_t kGreyKey;

// The grey pixel memory of a grey context, beside the colour surface it draws on.
struct GreyStore {
  uint8_t* pixels = nullptr;
  size_t bytesPerRow = 0;
  bool owned = false;
  // The caller may have written to the memory since it was handed out.
  bool handedOut = false;
  ~GreyStore() {
    if (owned) free(pixels);
  }
};

GreyStore* greyStoreOf(cairo_surface_t* surface) {
  return static_cast<GreyStore*>(cairo_surface_get_user_data(surface, &kGreyKey));
}

void greyToSurface(const GreyStore& g, cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  uint8_t* rgb = cairo_image_surface_get_data(surface);
  int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < h; y++) {
    auto* row = reinterpret_cast<uint32_t*>(rgb + size_t(y) * stride);
    const uint8_t* grey = g.pixels + size_t(y) * g.bytesPerRow;
    for (int x = 0; x < w; x++) row[x] = 0xff000000u | uint32_t(grey[x]) * 0x010101u;
  }
  cairo_surface_mark_dirty(surface);
}

void surfaceToGrey(cairo_surface_t* surface, GreyStore& g) {
  cairo_surface_flush(surface);
  const uint8_t* rgb = cairo_image_surface_get_data(surface);
  int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
  int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < h; y++) {
    const auto* row = reinterpret_cast<const uint32_t*>(rgb + size_t(y) * stride);
    uint8_t* grey = g.pixels + size_t(y) * g.bytesPerRow;
    for (int x = 0; x < w; x++) {
      uint32_t p = row[x];
      uint32_t r = (p >> 16) & 0xff, gr = (p >> 8) & 0xff, b = p & 0xff;
      grey[x] = static_cast<uint8_t>((r * 299 + gr * 587 + b * 114 + 500) / 1000);
    }
  }
}

std::shared_ptr<CGContext> createGreyContext(void* data, size_t width, size_t height,
                                             size_t bitsPerComponent, size_t bytesPerRow,
                                             CGBitmapInfo bitmapInfo) {
  uint32_t alpha = bitmapInfo & kCGBitmapAlphaInfoMask;
  if (bytesPerRow == 0) bytesPerRow = width;
  if (width == 0 || height == 0 || width > kCGBitmapMaxSide || height > kCGBitmapMaxSide ||
      bitsPerComponent != 8 || alpha != kCGImageAlphaNone || bytesPerRow < width ||
      bytesPerRow > (1u << 30)) {
    NSLog(
        "CGBitmapContextCreate: unsupported parameter combination: %zu integer bits/component; "
        "%zu x %zu pixels; grey; %zu bytes/row; bitmap info %u.",
        bitsPerComponent, width, height, bytesPerRow, bitmapInfo);
    return nullptr;
  }
  auto* store = new GreyStore;
  store->bytesPerRow = bytesPerRow;
  if (data) {
    store->pixels = static_cast<uint8_t*>(data);
  } else {
    store->pixels = static_cast<uint8_t*>(calloc(height, bytesPerRow));
    store->owned = true;
    if (!store->pixels) {
      delete store;
      return nullptr;
    }
  }
  cairo_surface_t* surface =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, int(width), int(height));
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(surface, &kGreyKey, store, [](void* p) {
        delete static_cast<GreyStore*>(p);
      }) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    delete store;
    return nullptr;
  }
  // The memory's first content is the picture's.
  greyToSurface(*store, surface);
  auto context =
      std::make_shared<CGContext>(surface, CGAffineTransform{1, 0, 0, -1, 0, double(height)});
  context->beforeUse = [store, surface] {
    if (!store->handedOut) return;
    store->handedOut = false;
    greyToSurface(*store, surface);
  };
  cairo_surface_destroy(surface);  // the context holds its own reference
  return context;
}

}  // namespace

namespace internal {
CGImageRef createGreyContextImage(CGContextRef c) {
  GreyStore* g = c ? greyStoreOf(c->surface()) : nullptr;
  if (!g) return nullptr;
  // Through the grey memory, so the image has the context's grey levels.
  surfaceToGrey(c->surface(), *g);
  greyToSurface(*g, c->surface());
  cairo_surface_t* s = c->surface();
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  CGImageRef img = CGImage::create(w, h, true);
  if (!img) return nullptr;
  cairo_surface_flush(img->surface());
  uint8_t* dst = cairo_image_surface_get_data(img->surface());
  for (int y = 0; y < h; y++) {
    auto* row = reinterpret_cast<uint32_t*>(dst + size_t(y) * img->bytesPerRow());
    const uint8_t* grey = g->pixels + size_t(y) * g->bytesPerRow;
    for (int x = 0; x < w; x++) row[x] = 0xff000000u | uint32_t(grey[x]) * 0x010101u;
  }
  cairo_surface_mark_dirty(img->surface());
  return img;
}
}  // namespace internal

std::shared_ptr<CGContext> CGBitmapContextCreate(void* data, size_t width, size_t height,
                                                 size_t bitsPerComponent, size_t bytesPerRow,
                                                 const CGColorSpaceRef& space,
                                                 CGBitmapInfo bitmapInfo) {
  if (CGColorSpaceGetModel(space) == kCGColorSpaceModelMonochrome)
    return createGreyContext(data, width, height, bitsPerComponent, bytesPerRow, bitmapInfo);
  uint32_t alpha = bitmapInfo & kCGBitmapAlphaInfoMask;
  uint32_t order = bitmapInfo & kCGBitmapByteOrderMask;
  bool layoutOK = (order == kCGBitmapByteOrderDefault || order == kCGBitmapByteOrder32Little) &&
                  (alpha == kCGImageAlphaPremultipliedFirst ||
                   (alpha == kCGImageAlphaNoneSkipFirst && order == kCGBitmapByteOrder32Little));
  if (bytesPerRow == 0) bytesPerRow = width * 4;
  if (width == 0 || height == 0 || width > kCGBitmapMaxSide || height > kCGBitmapMaxSide ||
      bitsPerComponent != 8 || !layoutOK || bytesPerRow < width * 4 || bytesPerRow % 4 != 0 ||
      bytesPerRow > (1u << 30)) {
    NSLog(
        "CGBitmapContextCreate: unsupported parameter combination: %zu integer bits/component; "
        "%zu x %zu pixels; %zu bytes/row; bitmap info %u.",
        bitsPerComponent, width, height, bytesPerRow, bitmapInfo);
    return nullptr;
  }
  cairo_format_t format =
      alpha == kCGImageAlphaNoneSkipFirst ? CAIRO_FORMAT_RGB24 : CAIRO_FORMAT_ARGB32;
  cairo_surface_t* surface;
  int w = static_cast<int>(width), h = static_cast<int>(height);
  if (data) {
    surface = cairo_image_surface_create_for_data(static_cast<unsigned char*>(data), format, w, h,
                                                  static_cast<int>(bytesPerRow));
  } else if (bytesPerRow == width * 4) {
    surface = cairo_image_surface_create(format, w, h);  // zeroed
  } else {
    // Own memory with the requested row length, freed with the surface.
    auto* memory = static_cast<unsigned char*>(calloc(height, bytesPerRow));
    if (!memory) return nullptr;
    surface =
        cairo_image_surface_create_for_data(memory, format, w, h, static_cast<int>(bytesPerRow));
    static cairo_user_data_key_t memoryKey;
    if (cairo_surface_set_user_data(surface, &memoryKey, memory, free) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(surface);
      free(memory);
      return nullptr;
    }
  }
  if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surface);
    return nullptr;
  }
  // The layout used: the default byte order is stored little-endian.
  auto* info = new CGBitmapInfo(alpha | kCGBitmapByteOrder32Little);
  cairo_surface_set_user_data(surface, &kBitmapInfoKey, info,
                              [](void* p) { delete static_cast<CGBitmapInfo*>(p); });
  auto context =
      std::make_shared<CGContext>(surface, CGAffineTransform{1, 0, 0, -1, 0, double(height)});
  cairo_surface_destroy(surface);  // the context holds its own reference
  return context;
}

void* CGBitmapContextGetData(CGContextRef c) {
  if (!c) return nullptr;
  if (GreyStore* g = greyStoreOf(c->surface())) {  // surface() copies in earlier writes
    surfaceToGrey(c->surface(), *g);
    g->handedOut = true;
    return g->pixels;
  }
  cairo_surface_flush(c->surface());
  // Callers may write to the memory: Cairo must not keep stale copies of it.
  cairo_surface_mark_dirty(c->surface());
  return cairo_image_surface_get_data(c->surface());
}

size_t CGBitmapContextGetBytesPerRow(CGContextRef c) {
  if (!c) return 0;
  if (GreyStore* g = greyStoreOf(c->surface())) return g->bytesPerRow;
  return static_cast<size_t>(cairo_image_surface_get_stride(c->surface()));
}

CGBitmapInfo CGBitmapContextGetBitmapInfo(CGContextRef c) {
  if (!c) return 0;
  if (greyStoreOf(c->surface())) return kCGImageAlphaNone;
  if (auto* info =
          static_cast<CGBitmapInfo*>(cairo_surface_get_user_data(c->surface(), &kBitmapInfoKey))) {
    return *info;
  }
  bool opaque = cairo_image_surface_get_format(c->surface()) == CAIRO_FORMAT_RGB24;
  return (opaque ? kCGImageAlphaNoneSkipFirst : kCGImageAlphaPremultipliedFirst) |
         kCGBitmapByteOrder32Little;
}

CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect) {
  if (!image) return nullptr;
  // A rectangle that is not finite names no pixels (and has no integer form).
  if (!std::isfinite(rect.origin.x) || !std::isfinite(rect.origin.y) ||
      !std::isfinite(rect.size.width) || !std::isfinite(rect.size.height))
    return nullptr;
  CGRect bounds = CGRectMake(0, 0, double(image->width()), double(image->height()));
  CGRect part = CGRectIntersection(CGRectIntegral(rect), bounds);
  if (CGRectIsNull(part) || CGRectIsEmpty(part)) return nullptr;
  int x = static_cast<int>(part.origin.x), y = static_cast<int>(part.origin.y);
  int w = static_cast<int>(part.size.width), h = static_cast<int>(part.size.height);
  CGImageRef out = CGImage::create(w, h, image->isOpaque());
  if (!out) return nullptr;
  cairo_surface_flush(out->surface());
  uint8_t* dst = cairo_image_surface_get_data(out->surface());
  size_t dstStride = out->bytesPerRow(), srcStride = image->bytesPerRow();
  for (int row = 0; row < h; row++) {
    std::memcpy(dst + row * dstStride, image->bytes() + (y + row) * srcStride + size_t(x) * 4,
                size_t(w) * 4);
  }
  cairo_surface_mark_dirty(out->surface());
  return out;
}

void CGContextClipToMask(CGContextRef c, CGRect rect, const CGImageRef& mask) {
  if (!c || !mask) return;
  if (c->saveDepth() <= 1) {
    NSLog("CGContextClipToMask: no saved graphics state to end the mask with; ignored.");
    return;
  }
  rect = CGRectStandardize(rect);
  if (rect.size.width <= 0 || rect.size.height <= 0) return;
  int w = static_cast<int>(mask->width()), h = static_cast<int>(mask->height());
  auto layer = std::make_shared<internal::MaskLayer>();
  layer->mask = cairo_image_surface_create(CAIRO_FORMAT_A8, w, h);
  if (cairo_surface_status(layer->mask) != CAIRO_STATUS_SUCCESS) return;
  cairo_surface_flush(layer->mask);
  uint8_t* out = cairo_image_surface_get_data(layer->mask);
  int outStride = cairo_image_surface_get_stride(layer->mask);
  bool byGrey = mask->isOpaque();
  for (int y = 0; y < h; y++) {
    const auto* px = reinterpret_cast<const uint32_t*>(mask->bytes() + y * mask->bytesPerRow());
    for (int x = 0; x < w; x++) {
      uint32_t p = px[x];
      uint32_t r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
      out[y * outStride + x] =
          static_cast<uint8_t>(byGrey ? (r * 299 + g * 587 + b * 114 + 500) / 1000 : (p >> 24));
    }
  }
  cairo_surface_mark_dirty(layer->mask);
  // Placed as CGContextDrawImage places an image: its first row at the rectangle's maximum y.
  cairo_t* cr = c->cairo();
  cairo_save(cr);
  cairo_translate(cr, rect.origin.x, rect.origin.y + rect.size.height);
  cairo_scale(cr, rect.size.width / w, -rect.size.height / h);
  cairo_get_matrix(cr, &layer->matrix);
  cairo_restore(cr);
  cairo_push_group(cr);
  c->state().masks.push_back(std::move(layer));
}

void CGContextSetInterpolationQuality(CGContextRef c, CGInterpolationQuality quality) {
  if (c) c->state().interpolation = quality;
}

CGInterpolationQuality CGContextGetInterpolationQuality(CGContextRef c) {
  return c ? static_cast<CGInterpolationQuality>(c->state().interpolation)
           : kCGInterpolationDefault;
}

void CGContextSetAllowsAntialiasing(CGContextRef c, bool allowed) {
  if (c && !allowed) cairo_set_antialias(c->cairo(), CAIRO_ANTIALIAS_NONE);
}

}  // namespace plat
