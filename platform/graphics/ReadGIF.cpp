// GIF through giflib's record reader: every frame is composed on the logical screen with its
// disposal and transparency; a frame still arriving shows the rows received so far.

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

struct MemoryInput {
  const uint8_t* data;
  size_t length;
  size_t pos = 0;
};

int readInput(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<MemoryInput*>(gif->UserData);
  size_t take = std::min(size_t(std::max(n, 0)), in->length - in->pos);
  std::memcpy(out, in->data + in->pos, take);
  in->pos += take;
  return int(take);
}

struct Frame {
  CGImageRef image;
  bool hasDelay = false;
  double delay = 0;  // seconds
};

class GIFReader : public CGImageSource::Reader {
 public:
  void scan(const Data& data, bool final) override {
    frames_.clear();
    loopCount_ = -1;
    complete_ = false;
    invalid_ = false;
    width_ = height_ = 0;
    final_ = final;
    read(data);
    if (final && frames_.empty()) invalid_ = true;
  }
  size_t count() const override { return frames_.size(); }
  Dictionary properties() const override {
    Dictionary d;
    if (width_ > 0) {
      d.set(kCGImagePropertyPixelWidth, Value(width_));
      d.set(kCGImagePropertyPixelHeight, Value(height_));
    }
    if (loopCount_ >= 0)
      d.set(kCGImagePropertyGIFDictionary,
            Value(Dictionary{{kCGImagePropertyGIFLoopCount, Value(loopCount_)}}));
    return d;
  }
  Dictionary propertiesAtIndex(size_t i) const override {
    Dictionary d{{kCGImagePropertyPixelWidth, Value(width_)},
                 {kCGImagePropertyPixelHeight, Value(height_)},
                 {kCGImagePropertyHasAlpha, Value(true)}};
    if (frames_[i].hasDelay) {
      double clamped = frames_[i].delay < 0.011 ? 0.1 : frames_[i].delay;
      d.set(kCGImagePropertyGIFDictionary,
            Value(Dictionary{{kCGImagePropertyGIFDelayTime, Value(clamped)},
                             {kCGImagePropertyGIFUnclampedDelayTime, Value(frames_[i].delay)}}));
    }
    return d;
  }
  CGImageRef image(const Data&, bool, size_t i) override { return frames_[i].image; }
  CGImageSourceStatus status() const override {
    if (invalid_) return kCGImageStatusInvalidData;
    if (complete_) return kCGImageStatusComplete;
    if (frames_.empty()) return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusReadingHeader;
    return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusIncomplete;
  }

 private:
  void read(const Data& data) {
    MemoryInput in{data.bytes(), data.length()};
    int error = 0;
    GifFileType* gif = DGifOpen(&in, readInput, &error);
    if (!gif) return;
    width_ = gif->SWidth;
    height_ = gif->SHeight;
    uint64_t screen = uint64_t(width_) * uint64_t(height_);
    if (width_ <= 0 || height_ <= 0 || screen > kCGImageSourceMaxPixels) {
      width_ = height_ = 0;
      DGifCloseFile(gif, &error);
      return;
    }
    std::vector<uint32_t> canvas(screen, 0), saved;
    std::vector<GifByteType> line;
    GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
    bool haveGCB = false;
    uint64_t totalPixels = 0;
    for (bool more = true; more;) {
      GifRecordType type;
      if (DGifGetRecordType(gif, &type) == GIF_ERROR) break;
      switch (type) {
        case EXTENSION_RECORD_TYPE: {
          int code = 0;
          GifByteType* ext = nullptr;
          if (DGifGetExtension(gif, &code, &ext) == GIF_ERROR) {
            more = false;
            break;
          }
          bool netscape = code == APPLICATION_EXT_FUNC_CODE && ext && ext[0] == 11 &&
                          std::memcmp(ext + 1, "NETSCAPE2.0", 11) == 0;
          if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
            haveGCB = DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK;
          }
          while (ext) {
            if (DGifGetExtensionNext(gif, &ext) == GIF_ERROR) {
              more = false;
              break;
            }
            if (netscape && ext && ext[0] >= 3 && ext[1] == 1) {
              loopCount_ = ext[2] | ext[3] << 8;
              netscape = false;
            }
          }
          break;
        }
        case IMAGE_DESC_RECORD_TYPE: {
          if (DGifGetImageDesc(gif) == GIF_ERROR) {
            more = false;
            break;
          }
          totalPixels += screen;
          if (totalPixels > 4 * kCGImageSourceMaxPixels) {
            more = false;
            break;
          }
          const GifImageDesc& d = gif->Image;
          ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
          int disposal = haveGCB ? gcb.DisposalMode : DISPOSAL_UNSPECIFIED;
          int transparent = haveGCB ? gcb.TransparentColor : NO_TRANSPARENT_COLOR;
          if (disposal == DISPOSE_PREVIOUS) saved = canvas;
          bool whole = drawFrame(gif, d, map, transparent, canvas, line);
          Frame f;
          f.image = imageOf(canvas);
          f.hasDelay = haveGCB;
          f.delay = haveGCB ? gcb.DelayTime / 100.0 : 0;
          if (f.image) frames_.push_back(f);
          if (!whole || !f.image) {
            more = false;
            break;
          }
          if (disposal == DISPOSE_BACKGROUND) {
            clearRect(canvas, d);
          } else if (disposal == DISPOSE_PREVIOUS) {
            canvas.swap(saved);
          }
          haveGCB = false;
          gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
          break;
        }
        case TERMINATE_RECORD_TYPE:
          complete_ = true;
          more = false;
          break;
        default:
          break;
      }
    }
    DGifCloseFile(gif, &error);
  }

  // Draws the frame's rows into the canvas; false when the data ended or broke part way.
  bool drawFrame(GifFileType* gif, const GifImageDesc& d, ColorMapObject* map, int transparent,
                 std::vector<uint32_t>& canvas, std::vector<GifByteType>& line) {
    if (d.Width <= 0 || d.Height <= 0) return true;
    line.resize(size_t(d.Width));
    static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
    std::vector<int> order;
    order.reserve(size_t(d.Height));
    if (d.Interlace) {
      for (int pass = 0; pass < 4; ++pass)
        for (int y = kStart[pass]; y < d.Height; y += kStep[pass]) order.push_back(y);
    } else {
      for (int y = 0; y < d.Height; ++y) order.push_back(y);
    }
    for (int y : order) {
      if (DGifGetLine(gif, line.data(), d.Width) == GIF_ERROR) return false;
      int cy = d.Top + y;
      if (cy < 0 || cy >= height_) continue;
      uint32_t* row = canvas.data() + size_t(cy) * size_t(width_);
      for (int x = 0; x < d.Width; ++x) {
        int cx = d.Left + x;
        if (cx < 0 || cx >= width_) continue;
        int idx = line[size_t(x)];
        if (idx == transparent) continue;
        if (!map || idx >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[idx];
        row[cx] = 0xff000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
      }
    }
    return true;
  }

  void clearRect(std::vector<uint32_t>& canvas, const GifImageDesc& d) {
    int x0 = std::max(0, d.Left), y0 = std::max(0, d.Top);
    int x1 = std::min(width_, d.Left + d.Width), y1 = std::min(height_, d.Top + d.Height);
    for (int y = y0; y < y1; ++y)
      std::fill(canvas.begin() + y * width_ + x0, canvas.begin() + y * width_ + x1, 0u);
  }

  CGImageRef imageOf(const std::vector<uint32_t>& canvas) {
    auto* buf = static_cast<uint8_t*>(std::malloc(canvas.size() * 4));
    if (!buf) return nullptr;
    std::memcpy(buf, canvas.data(), canvas.size() * 4);
    return CGImage::createOwningBuffer(buf, width_, height_, false);
  }

  std::vector<Frame> frames_;
  int width_ = 0, height_ = 0;
  int loopCount_ = -1;
  bool complete_ = false, invalid_ = false, final_ = false;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeGIFReader() { return std::make_unique<GIFReader>(); }

}  // namespace plat
