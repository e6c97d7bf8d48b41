// Coded response bodies, Content-Range values and validators from a server: a decoder reads
// any stream in pieces of any size, handing out pieces of its bounded size even when its sink
// refuses them, and never takes a stream that failed as whole, through one coding or several
// stacked.

#include <cstdint>
#include <optional>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/network/MessageBody.h"

using plat::detail::ContentDecoder;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  static const char* const kCodings[] = {"gzip",
                                         "deflate",
                                         "br",
                                         "zstd",
                                         "deflate, gzip",
                                         "gzip, zstd",
                                         "br, identity, deflate",
                                         "zstd, gzip, br, deflate, gzip"};
  constexpr size_t kCount = sizeof kCodings / sizeof kCodings[0];
  const uint8_t choice = in.byte();
  const uint8_t step = in.byte();
  std::string_view range = in.field();
  const std::optional<std::string> text{std::string(range)};
  if (auto part = plat::detail::AppendedRange::continuing(text, choice)) {
    FUZZ_CHECK(plat::detail::continuesPartialFile(text, choice) && !part->whole() &&
                   !part->take(SIZE_MAX),
               *text);
  }
  // The validator a download resumes under is one, and names the version it came from.
  const std::string validator = plat::detail::resumeValidatorOf(text, text);
  FUZZ_CHECK(validator.empty() || (plat::detail::isResumeValidator(validator) &&
                                   plat::detail::isSameVersion(validator, text, text)),
             *text);
  bool unsupported = false;
  auto decoder = ContentDecoder::forContentEncoding(kCodings[choice % kCount], &unsupported);
  FUZZ_CHECK(decoder && !unsupported, std::string(kCodings[choice % kCount]));
  const std::string body(in.rest());
  size_t pieces = 0;
  const ContentDecoder::Sink sink = [&](const char*, size_t length) {
    FUZZ_CHECK(length > 0 && length <= ContentDecoder::kPieceBytes, body);
    return ++pieces % 3 != 0;  // every third piece is refused once
  };
  const size_t chunk = 1 + step % 64;
  // Half the runs stop each call after a piece's worth of output, going on with the call after.
  const size_t budget = step & 0x80 ? ContentDecoder::kPieceBytes : SIZE_MAX;
  bool failed = false;
  for (size_t at = 0; at < body.size() && !failed;) {
    const size_t n = std::min(chunk, body.size() - at);
    size_t taken = 0;
    switch (decoder->write(body.data() + at, n, &taken, sink, budget)) {
      case ContentDecoder::Result::kTaken:
        at += n;
        break;
      case ContentDecoder::Result::kStopped:
      case ContentDecoder::Result::kSpent:
        FUZZ_CHECK(taken <= n, body);
        at += taken;
        break;
      case ContentDecoder::Result::kFailed:
        failed = true;
        break;
    }
    if (pieces > (1u << 16)) break;  // a bomb: far past what the input could hold plainly
  }
  return 0;
}
