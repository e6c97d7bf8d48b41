#pragma once
// HVImageDecoder: decodes still and animated images from data that may arrive in pieces.
// GIF, JPEG and still PNG go through the platform's image source; animated PNG is read with
// the library's own chunk reader and composed with the APNG dispose and blend rules. WebP is
// not built in: WebP data gives a decoder with no frames.
//
// Thread-safety: any thread. Updates and frame decoding are serialized per decoder (one
// recursive lock); frameDurationAtIndex and the read-only numbers never wait for a decode.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "image/HVAPNGChunks.h"
#include "image/HVImageFrame.h"
#include "image/HVImageKind.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Value.h"
#include "platform/graphics/CGContext.h"
#include "platform/graphics/CGImageSource.h"

class HVImageDecoder {
 public:
  // Scale of the main screen.
  HVImageDecoder();
  // A scale of 0 or below becomes 1.
  explicit HVImageDecoder(double scale);
  ~HVImageDecoder();
  HVImageDecoder(const HVImageDecoder&) = delete;
  HVImageDecoder& operator=(const HVImageDecoder&) = delete;

  // A decoder given the whole data; nullptr when it yields no frame (WebP, damaged, empty).
  static std::shared_ptr<HVImageDecoder> decoderWithDataScale(const plat::Data& data, double scale);
  // The same over a buffer the caller shares with the decoder and its image source instead of
  // copying it (a large download is then held once).
  // REQUIRES: nobody changes the buffer while the decoder holds it.
  static std::shared_ptr<HVImageDecoder> decoderWithDataScale(
      std::shared_ptr<const plat::Data> data, double scale);

  // Takes all the data received so far (not a delta). Refused (false, nothing changed): after
  // a final update, data shorter than what is held, data of another type than the one fixed.
  // The type is fixed by the first update holding more than 16 bytes.
  bool updateDataFinal(const plat::Data& data, bool final);
  // The same, keeping the shared buffer itself (null counts as empty).
  // REQUIRES: nobody changes the buffer while the decoder holds it.
  bool updateDataFinal(std::shared_ptr<const plat::Data> data, bool final);

  // A copy of frame `index` with its image filled; nullptr out of range or when it cannot be
  // decoded. With decodeForDisplay, animated frames come whole (canvas-sized, offsets 0); icon
  // entries and TIFF pages come at their own sizes. The image carries the decoded-for-display
  // mark when it is in the display layout (always with decodeForDisplay, and for frames
  // composed on the canvas).
  std::shared_ptr<HVImageFrame> frameAtIndexDecodeForDisplay(uint64_t index, bool decodeForDisplay);
  // Seconds frame `index` shows; 0 out of range.
  double frameDurationAtIndex(uint64_t index) const;
  // The image source's properties of a frame or of the container; nil without a source (an
  // animated PNG once its chunks took over) or out of range.
  plat::Value framePropertiesAtIndex(uint64_t index);
  plat::Value imageProperties();

  plat::Data data() const;
  // The buffer the decoder reads (never null).
  std::shared_ptr<const plat::Data> dataBuffer() const;
  HVImageKind type() const { return type_; }
  double scale() const { return scale_; }
  uint64_t frameCount() const { return frameCount_; }
  uint64_t loopCount() const { return loopCount_; }  // 0 endless
  uint64_t width() const { return width_; }          // canvas, pixels
  uint64_t height() const { return height_; }
  bool isFinalized() const { return finalized_; }
  plat::UIImageOrientation orientation() const { return orientation_; }

  // Internal record of one frame (HVImageFrame plus how to compose it).
  class Frame;

 private:
  void updateSource();
  void updateSourceImageIO();
  void updateSourceAPNG();
  std::vector<std::shared_ptr<Frame>> framesSnapshot() const;
  void setFrames(std::vector<std::shared_ptr<Frame>> frames);
  plat::CGImageRef newUnblendedImage(uint64_t index, bool extendToCanvas, bool* decoded);
  void blendImageWithFrame(const Frame& frame);
  plat::CGImageRef newBlendedImageWithFrame(const Frame& frame);
  void drawFrame(const Frame& frame, bool source);

  mutable std::recursive_mutex lock_;
  bool sourceTypeDetected_ = false;
  plat::CGImageSourceRef source_;
  std::unique_ptr<HVAPNGInfo> apngSource_;
  std::atomic<plat::UIImageOrientation> orientation_{plat::UIImageOrientationUp};
  mutable std::mutex framesLock_;
  std::vector<std::shared_ptr<Frame>> frames_;
  bool needBlend_ = false;
  // The frame whose result the blend canvas holds; none when unknown.
  std::optional<uint64_t> blendFrameIndex_;
  std::shared_ptr<plat::CGContext> blendCanvas_;
  std::atomic<bool> finalized_{false};
  std::shared_ptr<const plat::Data> data_ = std::make_shared<const plat::Data>();
  std::atomic<HVImageKind> type_{HVImageKindUnknown};
  double scale_ = 1;
  std::atomic<uint64_t> frameCount_{0}, loopCount_{0}, width_{0}, height_{0};
};
