// GIF: the file's structure (screen, frame rectangles, control blocks, loop count) is read by
// walking its blocks, continuing where the previous update stopped; a frame's pixels are decoded
// by giflib only when its image is asked for, composed on the logical screen with the disposal
// and transparency of the frames before it. The reader keeps the frame offsets, the last image it
// composed and, for a frame disposed to the previous picture, the rectangle it covers; nothing
// else; a screen nobody else holds any more is composed over in place. A frame still arriving
// shows the rows received so far.

#include <gif_lib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

// Sets where giflib reads: the header, then straight on at the frame's descriptor.
struct JumpInput {
  const uint8_t* data;
  size_t length;
  size_t headerEnd;
  size_t jumpTo;
  size_t pos = 0;
  bool jumped = false;
};

int readInput(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<JumpInput*>(gif->UserData);
  int done = 0;
  while (done < n) {
    if (!in->jumped && in->pos >= in->headerEnd) {
      in->pos = in->jumpTo;
      in->jumped = true;
    }
    size_t limit = in->jumped ? in->length : in->headerEnd;
    if (in->pos >= limit) break;
    size_t take = std::min(size_t(n - done), limit - in->pos);
    std::memcpy(out + done, in->data + in->pos, take);
    in->pos += take;
    done += int(take);
  }
  return done;
}

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

// Rows of each interlace pass: first row and step.
constexpr int kPassStart[4] = {0, 4, 2, 1}, kPassStep[4] = {8, 8, 4, 2};

int rowsInPass(int pass, int height) {
  return height > kPassStart[pass]
             ? (height - kPassStart[pass] + kPassStep[pass] - 1) / kPassStep[pass]
             : 0;
}

struct Rect {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x0 >= x1 || y0 >= y1; }
};

struct Frame {
  size_t descriptor = 0;  // offset of the frame's ',' record
  size_t dataEnd = 0;     // offset after its block terminator; 0 while it is still arriving
  int left = 0, top = 0, width = 0, height = 0;
  bool interlaced = false;
  int disposal = DISPOSAL_UNSPECIFIED;
  int transparent = NO_TRANSPARENT_COLOR;
  bool hasDelay = false;
  double delay = 0;  // seconds
  // Lines giflib must decode to cover every row of the frame that lies on the screen.
  int lines = 0;
  // Earliest frame from which the screen must be composed to show this one; while the frame
  // is still arriving, its rows not yet received show the screen below, composed from
  // restartBelow.
  size_t restartFrom = 0, restartBelow = 0;
  bool complete() const { return dataEnd != 0; }
};

class GIFReader : public CGImageSource::Reader {
 public:
  void scan(const Data& data, bool final) override {
    final_ = final;
    if (!headerDone_ && !readHeader(data)) {
      if (final) invalid_ = true;
      return;
    }
    if (!invalid_ && !ended_) readRecords(data);
    // A composed image that showed a frame still arriving is stale once more bytes came.
    if (lastImage_ && !lastComplete_ && data.length() != lastLength_) dropComposed();
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
  CGImageRef image(const Data& data, bool, size_t i) override {
    if (i >= frames_.size()) return nullptr;
    if (lastImage_ && lastIndex_ == i) return lastImage_;
    return compose(data, i);
  }
  CGImageSourceStatus status() const override {
    if (invalid_) return kCGImageStatusInvalidData;
    if (complete_) return kCGImageStatusComplete;
    if (frames_.empty()) return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusReadingHeader;
    return final_ ? kCGImageStatusUnexpectedEOF : kCGImageStatusIncomplete;
  }
  // The composed image stays: a whole frame's picture does not change with later bytes.
  void purge() override {}

 private:
  // The signature, the logical screen and the global colour table. False while incomplete;
  // a screen of no pixels or above the pixel cap makes the data invalid before anything is
  // allocated.
  bool readHeader(const Data& data) {
    const uint8_t* b = data.bytes();
    size_t n = data.length();
    if (n < 13) return false;
    if (std::memcmp(b, "GIF87a", 6) != 0 && std::memcmp(b, "GIF89a", 6) != 0) {
      invalid_ = true;
      return false;
    }
    int w = le16(b + 6), h = le16(b + 8);
    if (!withinPixelCap(uint64_t(w), uint64_t(h))) {
      invalid_ = true;
      return false;
    }
    size_t end = 13;
    if (b[10] & 0x80) end += 3 * (size_t(2) << (b[10] & 7));
    if (n < end) return false;
    width_ = w;
    height_ = h;
    headerEnd_ = end;
    pos_ = end;
    headerDone_ = true;
    return true;
  }

  // Walks data sub-blocks from `at`; the offset after the terminator, or 0 when the data ends
  // first (then `at` is left at the first block not yet whole).
  static size_t skipBlocks(const uint8_t* b, size_t n, size_t& at) {
    while (at < n) {
      if (b[at] == 0) return at + 1;
      if (at + 1 + b[at] > n) return 0;
      at += 1 + size_t(b[at]);
    }
    return 0;
  }

  void readRecords(const Data& data) {
    const uint8_t* b = data.bytes();
    size_t n = data.length();
    for (;;) {
      if (!frames_.empty() && !frames_.back().complete()) {
        size_t end = skipBlocks(b, n, walk_);
        if (!end) return;
        frames_.back().dataEnd = end;
        pos_ = end;
      }
      if (pos_ >= n) return;
      switch (b[pos_]) {
        case 0x3B:  // trailer
          complete_ = true;
          ended_ = true;
          return;
        case 0x21: {  // extension
          if (pos_ + 2 > n) return;
          size_t at = pos_ + 2;
          size_t end = skipBlocks(b, n, at);
          if (!end) return;
          readExtension(b[pos_ + 1], b + pos_ + 2, end - (pos_ + 2));
          pos_ = end;
          break;
        }
        case 0x2C:  // image descriptor
          if (!readDescriptor(b, n)) return;
          break;
        default:  // not a record: nothing after this point is read
          ended_ = true;
          return;
      }
    }
  }

  // `blocks` holds the extension's sub-blocks up to and including the terminator.
  void readExtension(uint8_t label, const uint8_t* blocks, size_t length) {
    if (label == GRAPHICS_EXT_FUNC_CODE && length >= 5 && blocks[0] >= 4) {
      uint8_t packed = blocks[1];
      gcb_.DisposalMode = (packed >> 2) & 7;
      gcb_.DelayTime = le16(blocks + 2);
      gcb_.TransparentColor = (packed & 1) ? blocks[4] : NO_TRANSPARENT_COLOR;
      haveGCB_ = true;
    } else if (label == APPLICATION_EXT_FUNC_CODE && length >= 12 && blocks[0] == 11 &&
               std::memcmp(blocks + 1, "NETSCAPE2.0", 11) == 0) {
      // The first sub-block after the identifier of id 1 holds the loop count.
      for (size_t at = 12; at < length && blocks[at] != 0; at += 1 + size_t(blocks[at])) {
        if (blocks[at] >= 3 && at + 3 < length && blocks[at + 1] == 1) {
          loopCount_ = le16(blocks + at + 2);
          break;
        }
      }
    }
  }

  // Reads the descriptor, local colour table and code size at pos_; false while incomplete.
  bool readDescriptor(const uint8_t* b, size_t n) {
    size_t at = pos_;
    if (at + 10 > n) return false;
    Frame f;
    f.descriptor = at;
    f.left = le16(b + at + 1);
    f.top = le16(b + at + 3);
    f.width = le16(b + at + 5);
    f.height = le16(b + at + 7);
    uint8_t packed = b[at + 9];
    f.interlaced = (packed & 0x40) != 0;
    at += 10;
    if (packed & 0x80) at += 3 * (size_t(2) << (packed & 7));
    if (at + 1 > n) return false;
    at += 1;  // LZW minimum code size
    if (haveGCB_) {
      f.disposal = gcb_.DisposalMode;
      f.transparent = gcb_.TransparentColor;
      f.hasDelay = true;
      f.delay = gcb_.DelayTime / 100.0;
    }
    haveGCB_ = false;
    f.lines = linesOnScreen(f);
    // Reading every frame costs a screen each and the pixels of the lines decoded: past four
    // times the pixel cap in screens, or the cap in decoded pixels (an LZW stream can expand a
    // few thousand times), the rest of the file is not offered.
    screens_ += uint64_t(width_) * uint64_t(height_);
    decoded_ += uint64_t(f.width) * uint64_t(f.lines);
    if (screens_ > 4 * kCGImageSourceMaxPixels || decoded_ > kCGImageSourceMaxPixels) {
      ended_ = true;
      return false;
    }
    if (!frames_.empty()) {
      const Frame& prev = frames_.back();
      if (prev.disposal == DISPOSE_BACKGROUND && coversScreen(prev))
        f.restartBelow = frames_.size();
      else if (prev.disposal == DISPOSE_PREVIOUS)
        f.restartBelow = prev.restartBelow;
      else
        f.restartBelow = prev.restartFrom;
    }
    // A frame disposed to the previous screen needs that screen too, so it never starts one.
    bool opaqueScreen = f.transparent == NO_TRANSPARENT_COLOR && coversScreen(f);
    f.restartFrom =
        opaqueScreen && f.disposal != DISPOSE_PREVIOUS ? frames_.size() : f.restartBelow;
    frames_.push_back(f);
    walk_ = at;
    return true;
  }

  Rect clip(const Frame& f) const {
    Rect r;
    r.x0 = std::min(f.left, width_);
    r.y0 = std::min(f.top, height_);
    r.x1 = std::min(f.left + f.width, width_);
    r.y1 = std::min(f.top + f.height, height_);
    return r;
  }
  bool coversScreen(const Frame& f) const {
    Rect r = clip(f);
    return r.x0 == 0 && r.y0 == 0 && r.x1 == width_ && r.y1 == height_;
  }

  // Lines of the frame, in the order they are stored, up to the last one on the screen.
  int linesOnScreen(const Frame& f) const {
    if (f.width == 0 || f.left >= width_ || f.top >= height_) return 0;
    int visible = std::min(f.height, height_ - f.top);
    if (!f.interlaced) return visible;
    int last = 0;
    for (int p = 0; p < 4; ++p)
      if (kPassStart[p] < visible) last = p;
    int lines = 0;
    for (int p = 0; p < last; ++p) lines += rowsInPass(p, f.height);
    return lines + rowsInPass(last, visible);
  }

  void dropComposed() {
    lastImage_ = nullptr;
    std::vector<uint32_t>().swap(saved_);
  }

  // The screen after frame i, composed from the last image when that lies between i and the
  // frame the screen must be rebuilt from, else from that frame on a clear screen.
  CGImageRef compose(const Data& data, size_t i) {
    size_t start = frames_[i].complete() ? frames_[i].restartFrom : frames_[i].restartBelow;
    size_t pixels = size_t(width_) * size_t(height_);
    bool resume = lastImage_ && lastComplete_ && lastIndex_ < i && lastIndex_ >= start;
    CGImageRef image;
    uint32_t* canvas;
    if (resume && lastImage_.use_count() == 1) {
      // Nobody else holds the last screen: the next one is composed where it lies.
      image = lastImage_;
      canvas = reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(image->bytes()));
    } else {
      canvas = static_cast<uint32_t*>(resume ? std::malloc(pixels * 4) : std::calloc(pixels, 4));
      if (!canvas) return nullptr;
      if (resume) {
        const uint8_t* src = lastImage_->bytes();
        for (int y = 0; y < height_; ++y)
          std::memcpy(canvas + size_t(y) * size_t(width_),
                      src + size_t(y) * lastImage_->bytesPerRow(), size_t(width_) * 4);
      }
    }
    if (resume) {
      dispose(canvas, frames_[lastIndex_]);
      start = lastIndex_ + 1;
    }
    dropComposed();
    for (size_t k = start; k <= i; ++k) {
      const Frame& f = frames_[k];
      if (f.disposal == DISPOSE_PREVIOUS) save(canvas, f);
      draw(data, f, canvas);
      if (k < i) dispose(canvas, f);
    }
    if (image) {
      cairo_surface_mark_dirty(image->surface());
    } else {
      image =
          CGImage::createOwningBuffer(reinterpret_cast<uint8_t*>(canvas), width_, height_, false);
      if (!image) {
        std::vector<uint32_t>().swap(saved_);
        return nullptr;
      }
    }
    lastImage_ = image;
    lastIndex_ = i;
    // A frame's picture is settled once its blocks are all there (a damaged one stays as far
    // as it decodes), or when no more data will come.
    lastComplete_ = frames_[i].complete() || final_;
    lastLength_ = data.length();
    if (frames_[i].disposal != DISPOSE_PREVIOUS) std::vector<uint32_t>().swap(saved_);
    return image;
  }

  void save(const uint32_t* canvas, const Frame& f) {
    Rect r = clip(f);
    saved_.clear();
    if (r.empty()) return;
    saved_.reserve(size_t(r.x1 - r.x0) * size_t(r.y1 - r.y0));
    for (int y = r.y0; y < r.y1; ++y) {
      const uint32_t* row = canvas + size_t(y) * size_t(width_);
      saved_.insert(saved_.end(), row + r.x0, row + r.x1);
    }
  }

  // Applies frame f's disposal to the screen that shows it.
  void dispose(uint32_t* canvas, const Frame& f) {
    Rect r = clip(f);
    if (r.empty()) return;
    size_t w = size_t(r.x1 - r.x0);
    if (f.disposal == DISPOSE_BACKGROUND) {
      for (int y = r.y0; y < r.y1; ++y)
        std::fill_n(canvas + size_t(y) * size_t(width_) + size_t(r.x0), w, 0u);
    } else if (f.disposal == DISPOSE_PREVIOUS && saved_.size() == w * size_t(r.y1 - r.y0)) {
      for (int y = r.y0; y < r.y1; ++y)
        std::memcpy(canvas + size_t(y) * size_t(width_) + size_t(r.x0),
                    saved_.data() + size_t(y - r.y0) * w, w * 4);
    }
  }

  // Decodes frame f's lines that reach the screen and draws them; false when the data ended
  // or broke part way (the lines read so far stay drawn).
  bool draw(const Data& data, const Frame& f, uint32_t* canvas) {
    if (f.lines == 0) return true;
    JumpInput in{data.bytes(), data.length(), headerEnd_, f.descriptor};
    int error = 0;
    GifFileType* gif = DGifOpen(&in, readInput, &error);
    if (!gif) return false;
    bool ok = false;
    GifRecordType type;
    if (DGifGetRecordType(gif, &type) != GIF_ERROR && type == IMAGE_DESC_RECORD_TYPE &&
        DGifGetImageDesc(gif) != GIF_ERROR && gif->Image.Width == f.width &&
        gif->Image.Height == f.height) {
      const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
      ok = drawLines(gif, f, map, canvas);
    }
    DGifCloseFile(gif, &error);
    return ok;
  }

  bool drawLines(GifFileType* gif, const Frame& f, const ColorMapObject* map, uint32_t* canvas) {
    std::vector<GifByteType> line(size_t(f.width));
    const int end = std::min(f.width, width_ - f.left);
    auto drawRow = [&](int y) {
      if (DGifGetLine(gif, line.data(), f.width) == GIF_ERROR) return false;
      int cy = f.top + y;
      if (cy >= height_) return true;
      uint32_t* row = canvas + size_t(cy) * size_t(width_) + size_t(f.left);
      for (int x = 0; x < end; ++x) {
        int idx = line[size_t(x)];
        if (idx == f.transparent || !map || idx >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[idx];
        row[x] = 0xff000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
      }
      return true;
    };
    int n = 0;
    if (!f.interlaced) {
      for (; n < f.lines; ++n)
        if (!drawRow(n)) return false;
      return true;
    }
    for (int pass = 0; pass < 4; ++pass)
      for (int y = kPassStart[pass]; y < f.height && n < f.lines; y += kPassStep[pass], ++n)
        if (!drawRow(y)) return false;
    return true;
  }

  // Structure.
  std::vector<Frame> frames_;
  int width_ = 0, height_ = 0;
  int loopCount_ = -1;
  bool headerDone_ = false, complete_ = false, ended_ = false, invalid_ = false, final_ = false;
  size_t headerEnd_ = 0;
  size_t pos_ = 0;   // next record to read
  size_t walk_ = 0;  // next data block of the frame still arriving
  GraphicsControlBlock gcb_{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  bool haveGCB_ = false;
  uint64_t screens_ = 0, decoded_ = 0;  // pixels of the frames offered

  // The last composed screen (shared with whoever asked for it).
  CGImageRef lastImage_;
  size_t lastIndex_ = 0;
  bool lastComplete_ = false;  // it no longer changes with more data
  size_t lastLength_ = 0;
  // What the last frame covered before it was drawn, when it is disposed to the previous screen.
  std::vector<uint32_t> saved_;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeGIFReader() { return std::make_unique<GIFReader>(); }

}  // namespace plat
