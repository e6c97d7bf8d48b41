// JPEG through libjpeg-turbo with a suspending source while data is still arriving: a baseline
// file shows the rows received so far (the rest transparent), a progressive one the scans
// received so far. Final data is read to its end.

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>
// After jpeglib.h: the message codes.
#include <jerror.h>

#include "platform/foundation/NSLog.h"
#include "platform/graphics/ImageReaders.h"

namespace plat {

namespace {

struct Source {
  jpeg_source_mgr pub;
  // When set, running out of data ends the image (as an EOI would) instead of suspending.
  bool endAtEOF = false;
  bool endedEarly = false;  // an EOI was put in for missing data
};

const JOCTET kEOI[2] = {0xFF, JPEG_EOI};

void initSource(j_decompress_ptr) {}
boolean fillInput(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<Source*>(cinfo->src);
  if (!src->endAtEOF) return FALSE;
  src->endedEarly = true;
  src->pub.next_input_byte = kEOI;
  src->pub.bytes_in_buffer = 2;
  return TRUE;
}
void skipInput(j_decompress_ptr cinfo, long n) {
  auto* src = reinterpret_cast<Source*>(cinfo->src);
  if (n <= 0) return;
  if (size_t(n) > src->pub.bytes_in_buffer) {
    // Past the bytes received: nothing more can be read.
    src->pub.next_input_byte += src->pub.bytes_in_buffer;
    src->pub.bytes_in_buffer = 0;
    return;
  }
  src->pub.next_input_byte += n;
  src->pub.bytes_in_buffer -= size_t(n);
}
void termSource(j_decompress_ptr) {}

// Most scans a progressive file may have: each scan passes over every block of the image, so
// a small file of many empty scans would otherwise cost minutes.
constexpr int kMaxScans = 100;
// Most memory libjpeg may take for itself (a progressive file keeps every coefficient, 128
// bytes a block): enough for a 4:2:0 image at the pixel cap, not for a 4:4:4 one.
constexpr long kMaxLibraryMemory = 200L << 20;

struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
  bool log = false;  // the data is all there is: what goes wrong is worth a line in the log
  // Rows output before the entropy decoder first needed bits past the end of the data (it
  // then makes up zeros); -1 while it has not.
  int rowsBeforeShortfall = -1;
};
void logMessage(j_common_ptr cinfo, const char* kind) {
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  NSLog("JPEG reader %s: %s", kind, text);
}
void errorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (err->log) logMessage(cinfo, "error");
  longjmp(err->jump, 1);
}
// Only the first warning of a file is logged (damaged data warns once per bad segment).
void emitMessage(j_common_ptr cinfo, int level) {
  auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
  if (level >= 0) return;  // trace messages
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  auto* src = reinterpret_cast<Source*>(d->src);
  if (err->pub.msg_code == JWRN_HIT_MARKER && src && src->endedEarly &&
      err->rowsBeforeShortfall < 0) {
    err->rowsBeforeShortfall = int(d->output_scanline);
  }
  if (err->log && err->pub.num_warnings == 0) logMessage(cinfo, "warning");
  err->pub.num_warnings++;
}
void limitScans(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->progressive_mode && d->input_scan_number > kMaxScans) {
    NSLog("JPEG reader: more than %d scans", kMaxScans);
    longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
  }
}

uint16_t rd16(const uint8_t* p, bool le) {
  return le ? uint16_t(p[0] | p[1] << 8) : uint16_t(p[0] << 8 | p[1]);
}
uint32_t rd32(const uint8_t* p, bool le) {
  return le ? uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24)
            : uint32_t(uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

// The orientation tag (0x0112) of an EXIF APP1 payload's first IFD; 0 when absent or damaged.
int exifOrientation(const uint8_t* p, size_t n) {
  if (n < 14 || std::memcmp(p, "Exif\0\0", 6) != 0) return 0;
  p += 6, n -= 6;
  bool le;
  if (p[0] == 'I' && p[1] == 'I')
    le = true;
  else if (p[0] == 'M' && p[1] == 'M')
    le = false;
  else
    return 0;
  if (rd16(p + 2, le) != 42) return 0;
  uint64_t ifd = rd32(p + 4, le);
  if (ifd + 2 > n) return 0;
  uint32_t entries = rd16(p + ifd, le);
  for (uint32_t i = 0; i < entries; ++i) {
    uint64_t e = ifd + 2 + uint64_t(i) * 12;
    if (e + 12 > n) return 0;
    if (rd16(p + e, le) == 0x0112 && rd16(p + e + 2, le) == 3) {
      int v = rd16(p + e + 8, le);
      return v >= 1 && v <= 8 ? v : 0;
    }
  }
  return 0;
}

}  // namespace

namespace {

// whole: the data is all there is; missing data ends the image as an EOI would, and the
// image comes back only when every row came out.
// final (not whole): the data is all there is too, so it is read to its end (no suspension,
// which would leave the rows libjpeg reads ahead for unshown); rows whose data is missing stay
// transparent.
CGImageRef decode(const Data& data, bool whole, bool final, bool* complete, int* orientation,
                  bool* progressive = nullptr) {
  if (complete) *complete = false;
  if (orientation) *orientation = 0;
  if (progressive) *progressive = false;
  if (data.length() < 3 || data.bytes()[0] != 0xff || data.bytes()[1] != 0xd8) return nullptr;

  jpeg_decompress_struct cinfo;
  ErrorManager err;
  err.log = whole || final;
  Source src;
  src.endAtEOF = whole || final;
  jpeg_progress_mgr progress{};
  progress.progress_monitor = limitScans;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = errorExit;
  err.pub.emit_message = emitMessage;
  // Kept outside the jump: set before any longjmp can happen.
  struct Result {
    uint8_t* pixels = nullptr;
    uint8_t* row = nullptr;
    int width = 0, height = 0, rows = 0;
    bool done = false;
    bool sequential = false;  // rows come out as their data is read (one baseline scan)
  };
  auto* r = new Result();
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kMaxLibraryMemory;
  cinfo.progress = &progress;
  if (setjmp(err.jump) == 0) {
    src.pub.init_source = initSource;
    src.pub.fill_input_buffer = fillInput;
    src.pub.skip_input_data = skipInput;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = termSource;
    src.pub.next_input_byte = data.bytes();
    src.pub.bytes_in_buffer = data.length();
    cinfo.src = &src.pub;
    jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xffff);
    if (jpeg_read_header(&cinfo, TRUE) == JPEG_HEADER_OK) {
      uint64_t w = cinfo.image_width, h = cinfo.image_height;
      if (withinPixelCap(w, h)) {
        if (progressive) *progressive = cinfo.progressive_mode;
        for (jpeg_saved_marker_ptr m = cinfo.marker_list; m && orientation; m = m->next)
          if (m->marker == JPEG_APP0 + 1 && !*orientation)
            *orientation = exifOrientation(m->data, m->data_length);
        bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
        cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRA;
        // Progressive scans are decoded as far as they go; a suspension would show nothing.
        if (cinfo.progressive_mode) src.endAtEOF = true;
        r->width = int(w), r->height = int(h);
        r->sequential = !jpeg_has_multiple_scans(&cinfo);
        r->pixels = static_cast<uint8_t*>(std::calloc(size_t(w) * h, 4));
        if (cmyk) r->row = static_cast<uint8_t*>(std::malloc(size_t(w) * 4));
        if (r->pixels && (!cmyk || r->row) && jpeg_start_decompress(&cinfo)) {
          while (cinfo.output_scanline < cinfo.output_height) {
            uint8_t* dst = r->pixels + size_t(cinfo.output_scanline) * w * 4;
            JSAMPROW row = cmyk ? r->row : dst;
            if (jpeg_read_scanlines(&cinfo, &row, 1) != 1) break;
            if (cmyk) {
              // Adobe CMYK is stored inverted: each byte is already 255 - ink.
              for (uint64_t x = 0; x < w; ++x) {
                const uint8_t* s = r->row + x * 4;
                uint32_t k = s[3];
                dst[x * 4 + 0] = uint8_t(s[2] * k / 255);
                dst[x * 4 + 1] = uint8_t(s[1] * k / 255);
                dst[x * 4 + 2] = uint8_t(s[0] * k / 255);
                dst[x * 4 + 3] = 255;
              }
            }
            r->rows = int(cinfo.output_scanline);
          }
          // Data that ended where a marker could stand (a missing EOI, or the end of a
          // progressive scan) lost nothing once it is final.
          bool madeUp = src.endedEarly && (!final || err.rowsBeforeShortfall >= 0);
          r->done = r->rows == r->height && !madeUp;
        }
      }
    }
  }
  // An error part way keeps the rows decoded before it.
  jpeg_destroy_decompress(&cinfo);
  std::free(r->row);
  CGImageRef out;
  if (!whole && r->pixels && r->sequential && err.rowsBeforeShortfall >= 0) {
    // The rows from the one whose data ran out on were made up: they stay transparent.
    int real = std::min(err.rowsBeforeShortfall, r->rows);
    std::memset(r->pixels + size_t(real) * size_t(r->width) * 4, 0,
                size_t(r->height - real) * size_t(r->width) * 4);
    r->rows = real;
    r->done = false;
  }
  if (whole && r->rows != r->height) {
    std::free(r->pixels);
  } else if (r->pixels) {
    bool opaque = whole || r->done;
    out = CGImage::createOwningBuffer(r->pixels, r->width, r->height, opaque);
    if (complete) *complete = r->done;
  }
  delete r;
  return out;
}

}  // namespace

CGImageRef decodeJPEG(const Data& data, bool* complete, int* orientation, bool final,
                      bool* progressive) {
  return decode(data, false, final, complete, orientation, progressive);
}

CGImageRef decodeCompleteJPEG(const Data& data) {
  return decode(data, true, true, nullptr, nullptr);
}

}  // namespace plat
