// GIF: the file's structure (screen, frame rectangles, control blocks, loop count) is read by
// walking its blocks, continuing where the previous update stopped; a frame's pixels are decoded
// by giflib only when its image is asked for, composed on the logical screen with the disposal
// and transparency of the frames before it. The reader keeps the frame offsets, the last image it
// composed and, for a frame disposed to the previous screen, the rectangle it covers; a screen
// nobody else holds any more is composed over in place. A frame still arriving shows the lines
// received so far, and each update decodes only the lines that came since.

#include <gif_lib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

// Sets where giflib reads: the header, then straight on at the frame's descriptor.
struct JumpInput {
  const uint8_t* data = nullptr;
  size_t length = 0;
  size_t headerEnd = 0;
  size_t jumpTo = 0;
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

// One frame's lines through giflib, which reads the file's header and then the frame's own
// blocks. Decoding can stop before a line whose bytes may not have arrived yet and go on after
// the next update, so a frame arriving in pieces is decoded once.
class FrameDecoder {
 public:
  FrameDecoder(const Frame& frame, size_t headerEnd) : frame_(frame) {
    in_.headerEnd = headerEnd;
    in_.jumpTo = frame.descriptor;
  }
  ~FrameDecoder() {
    int error = 0;
    if (gif_) DGifCloseFile(gif_, &error);
  }
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Decodes the frame's lines that reach the screen and draws them on `canvas` (the screen, w x
  // h). While `arriving`, stops before a line that may need bytes not yet there. False when the
  // data ended or broke part way (the lines read so far stay drawn).
  bool drawLines(const Data& data, uint32_t* canvas, int w, int h, bool arriving) {
    const Frame& f = frame_;
    if (done_ >= f.lines) return true;
    in_.data = data.bytes();
    in_.length = data.length();
    if (!gif_ && !open()) return false;
    const int end = std::min(f.width, w - f.left);
    // A line takes at most one 12-bit code a pixel, a few clear codes and its block lengths.
    const size_t codeBytes = (size_t(f.width) + size_t(f.width) / 1024 + 4) * 12 / 8 + 1;
    const size_t lineBytes = codeBytes + codeBytes / 255 + 2;
    // Reading the last of all the frame's pixels also reads on to its terminator.
    const bool lastReadsToEnd = f.lines == f.height;
    for (; done_ < f.lines; ++done_) {
      if (arriving && (in_.length - std::min(in_.length, in_.pos) < lineBytes ||
                       (lastReadsToEnd && done_ + 1 == f.lines)))
        return true;
      if (DGifGetLine(gif_, line_.data(), f.width) == GIF_ERROR) return false;
      int cy = f.top + rowOfLine(done_);
      if (cy >= h) continue;
      uint32_t* row = canvas + size_t(cy) * size_t(w) + size_t(f.left);
      for (int x = 0; x < end; ++x) {
        int idx = line_[size_t(x)];
        if (idx == f.transparent || !map_ || idx >= map_->ColorCount) continue;
        const GifColorType& c = map_->Colors[idx];
        row[x] = 0xff000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
      }
    }
    return true;
  }

 private:
  bool open() {
    int error = 0;
    gif_ = DGifOpen(&in_, readInput, &error);
    if (!gif_) return false;
    GifRecordType type;
    if (DGifGetRecordType(gif_, &type) == GIF_ERROR || type != IMAGE_DESC_RECORD_TYPE ||
        DGifGetImageDesc(gif_) == GIF_ERROR || gif_->Image.Width != frame_.width ||
        gif_->Image.Height != frame_.height)
      return false;
    map_ = gif_->Image.ColorMap ? gif_->Image.ColorMap : gif_->SColorMap;
    line_.resize(size_t(frame_.width));
    return true;
  }

  // The row of the n-th line stored.
  int rowOfLine(int n) const {
    if (!frame_.interlaced) return n;
    for (int p = 0; p < 4; ++p) {
      int rows = rowsInPass(p, frame_.height);
      if (n < rows) return kPassStart[p] + n * kPassStep[p];
      n -= rows;
    }
    return frame_.height;
  }

  Frame frame_;
  JumpInput in_{};
  GifFileType* gif_ = nullptr;
  const ColorMapObject* map_ = nullptr;
  std::vector<GifByteType> line_;
  int done_ = 0;  // lines drawn
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
    // A composed image that showed a frame still arriving is stale once more bytes came, or
    // once no more will come (the lines held back for bytes still to come are read then).
    if (lastImage_ && !lastComplete_ && (data.length() != lastLength_ || final)) lastStale_ = true;
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
    if (lastImage_ && lastIndex_ == i && !lastStale_) return lastImage_;
    if (arriving_ && arriving_->index != i) {
      // A frame asked for after it goes on from it once it is whole.
      if (arriving_->index < i && (frames_[arriving_->index].complete() || final_)) arrive(data);
      arriving_.reset();
    }
    if (arriving_)
      if (CGImageRef image = arrive(data)) return image;
    if (i + 1 == frames_.size() && !frames_[i].complete() && !final_) {
      if (startArriving(data, i))
        if (CGImageRef image = arrive(data)) return image;
      arriving_.reset();
    }
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

  // Whether the last composed image is held by the reader alone. Whoever let go of it last
  // read its pixels before; the fence orders those reads before the reader writes over them.
  bool onlyHolder() const {
    if (lastImage_.use_count() != 1) return false;
    std::atomic_thread_fence(std::memory_order_acquire);
    return true;
  }

  void dropComposed() {
    lastImage_ = nullptr;
    lastStale_ = false;
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
    if (resume && onlyHolder()) {
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

  // The frame still arriving: giflib's place in its blocks. Its screen (the screen below it
  // with its lines so far) is the last composed image, drawn on in place while nobody else
  // holds it.
  struct Arriving {
    size_t index = 0;
    std::unique_ptr<FrameDecoder> decoder;
    std::vector<uint32_t> saved;  // what it covers, when it is disposed to the previous screen
  };

  // The last composed image, made writable: itself when nobody else holds it, else a copy that
  // replaces it. nullptr when memory runs out.
  uint32_t* writableLast() {
    if (!onlyHolder()) {
      size_t bytes = size_t(width_) * size_t(height_) * 4;
      auto* copy = static_cast<uint8_t*>(std::malloc(bytes));
      if (!copy) return nullptr;
      const uint8_t* src = lastImage_->bytes();
      for (int y = 0; y < height_; ++y)
        std::memcpy(copy + size_t(y) * size_t(width_) * 4,
                    src + size_t(y) * lastImage_->bytesPerRow(), size_t(width_) * 4);
      CGImageRef image = CGImage::createOwningBuffer(copy, width_, height_, false);
      if (!image) return nullptr;
      lastImage_ = image;
    }
    return reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(lastImage_->bytes()));
  }

  bool startArriving(const Data& data, size_t i) {
    auto a = std::make_unique<Arriving>();
    a->index = i;
    uint32_t* canvas;
    if (i > 0) {
      if (!image(data, final_, i - 1)) return false;
      canvas = writableLast();
      if (!canvas) return false;
      dispose(canvas, frames_[i - 1]);
      std::vector<uint32_t>().swap(saved_);
    } else {
      dropComposed();
      lastImage_ = CGImage::createOwningBuffer(
          static_cast<uint8_t*>(std::calloc(size_t(width_) * size_t(height_), 4)), width_, height_,
          false);
      if (!lastImage_) return false;
      canvas = writableLast();
    }
    if (frames_[i].disposal == DISPOSE_PREVIOUS) save(canvas, frames_[i], a->saved);
    a->decoder = std::make_unique<FrameDecoder>(frames_[i], headerEnd_);
    lastIndex_ = i;
    lastComplete_ = false;
    lastStale_ = false;
    arriving_ = std::move(a);
    return true;
  }

  // Decodes the lines of the arriving frame that came since the last time. Once the frame is
  // whole (or no more data will come) its screen is settled; until then it shows the lines so
  // far, and a picture of it someone holds keeps what it showed.
  CGImageRef arrive(const Data& data) {
    Arriving& a = *arriving_;
    uint32_t* canvas =
        lastImage_ && lastIndex_ == a.index && !lastComplete_ ? writableLast() : nullptr;
    if (!canvas) {
      arriving_.reset();
      dropComposed();
      return nullptr;
    }
    bool settled = frames_[a.index].complete() || final_;
    bool ok = a.decoder->drawLines(data, canvas, width_, height_, !settled);
    cairo_surface_mark_dirty(lastImage_->surface());
    lastComplete_ = settled;
    lastStale_ = false;
    lastLength_ = data.length();
    if (settled) saved_.swap(a.saved);
    // A frame that broke while arriving is read again from its start with more data.
    if (settled || !ok) arriving_.reset();
    return lastImage_;
  }

  void save(const uint32_t* canvas, const Frame& f) { save(canvas, f, saved_); }
  void save(const uint32_t* canvas, const Frame& f, std::vector<uint32_t>& saved) const {
    Rect r = clip(f);
    saved.clear();
    if (r.empty()) return;
    saved.reserve(size_t(r.x1 - r.x0) * size_t(r.y1 - r.y0));
    for (int y = r.y0; y < r.y1; ++y) {
      const uint32_t* row = canvas + size_t(y) * size_t(width_);
      saved.insert(saved.end(), row + r.x0, row + r.x1);
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

  void draw(const Data& data, const Frame& f, uint32_t* canvas) {
    FrameDecoder(f, headerEnd_).drawLines(data, canvas, width_, height_, false);
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
  bool lastStale_ = false;     // it showed a frame still arriving, and more data came
  size_t lastLength_ = 0;
  // What the last frame covered before it was drawn, when it is disposed to the previous screen.
  std::vector<uint32_t> saved_;
  std::unique_ptr<Arriving> arriving_;
};

}  // namespace

std::unique_ptr<CGImageSource::Reader> makeGIFReader() { return std::make_unique<GIFReader>(); }

}  // namespace plat
