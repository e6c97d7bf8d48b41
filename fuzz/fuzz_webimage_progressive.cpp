// A web image download's bytes as they arrive: an HTTP response with a declared length, then
// the body in chunks, through the operation's partial-image path (plain or blurred: the type
// check, the JPEG scan search, the bottom-right pixel test and the blur). Never crashes, and
// every partial comes from the network with an image.
//
// Input: byte 0 picks the mode and the declared length's form, byte 1 the chunk size; the
// rest is the body. A virtual clock moves on between chunks so that each may decode.

#include <memory>

#include "fuzz/FuzzSupport.h"
#include "image/HVImageDecoder.h"
#include "image/HVWebImageOperation.h"
#include "platform/dispatch/Clock.h"
#include "platform/network/NSURLResponse.h"

namespace {

constexpr uint64_t kMaxFuzzPixels = uint64_t{1} << 20;
// Blurred partials blur the whole picture at every step: a picture this size already takes
// seconds a step in the instrumented build.
constexpr uint64_t kMaxFuzzBlurPixels = uint64_t{1} << 16;

plat::VirtualClock& fuzzClock() {
  static auto* clock = [] {
    auto c = std::make_shared<plat::VirtualClock>();
    plat::Clock::install(c);
    return new std::shared_ptr<plat::VirtualClock>(c);
  }();
  return **clock;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  auto& clock = fuzzClock();
  const uint8_t mode = data[0];
  const size_t chunk = size_t{data[1]} * 8 + 1;
  plat::Data body(data + 2, size - 2);
  // Large pictures only make the run slow.
  if (auto whole = HVImageDecoder::decoderWithDataScale(body, 1)) {
    if (whole->width() * whole->height() > ((mode & 1) ? kMaxFuzzBlurPixels : kMaxFuzzPixels))
      return 0;
  }

  HVWebImageOptionFlags options =
      (mode & 1) ? HVWebImageOptionProgressiveBlurDisplay : HVWebImageOptionProgressiveDisplay;
  const std::string url = "http://127.0.0.1:9/fuzz.img";
  int partials = 0;
  auto op = HVWebImageOperation::initWithRequestOptionsCacheCacheKeyProgressTransformCompletion(
      plat::NSURLRequest::requestWithURL(url), options, nullptr, "", [](int64_t, int64_t) {}, {},
      [&](const plat::UIImageRef& image, const plat::NSURLRef&, HVWebImageSource from,
          HVWebImagePhase phase, const plat::NSErrorRef&) {
        FUZZ_CHECK(phase == HVWebImagePhasePartial, "a final result from the partial path");
        FUZZ_CHECK(image && from == HVWebImageSourceNetwork, "a partial without an image");
        ++partials;
      });
  plat::HTTPHeaderFields headers;
  switch ((mode >> 1) & 3) {
    case 0: headers.set("Content-Length", std::to_string(body.length())); break;
    case 1: headers.set("Content-Length", std::to_string(body.length() * 2)); break;
    case 2: headers.set("Content-Length", "1099511627776"); break;
    default: break;  // unknown length
  }
  op->connectionDidReceiveResponse(nullptr, plat::NSHTTPURLResponse::make(url, 200, headers));
  for (size_t at = 0; at < body.length(); at += chunk) {
    op->connectionDidReceiveData(nullptr, body.subdata(at, chunk));
    clock.advanceBy(0.5);
  }
  (void)partials;
  return 0;
}
