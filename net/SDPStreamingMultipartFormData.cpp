#include "net/SDPStreamingMultipartFormData.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPHTTPResponseSerializer.h"
#include "net/SDPNetworkingPrivate.h"
#include "platform/foundation/NSFileManager.h"

namespace {

constexpr const char* kCRLF = "\r\n";

std::string initialBoundary(const std::string& boundary) { return "--" + boundary + kCRLF; }
std::string encapsulationBoundary(const std::string& boundary) {
  return std::string(kCRLF) + "--" + boundary + kCRLF;
}
std::string finalBoundary(const std::string& boundary) {
  return std::string(kCRLF) + "--" + boundary + "--" + kCRLF;
}

plat::NSErrorRef requestError(const std::string& reason) {
  plat::Dictionary info;
  info.set(plat::NSLocalizedFailureReasonErrorKey, SDPNetworkingLocalizedString(reason));
  return plat::NSError::make(SDPURLRequestSerializationErrorDomain, SDPURLErrorBadURL,
                             std::move(info));
}

// Stands for a caller's stream that was read already and cannot be copied: a body read again
// fails with this rather than leaving the part out.
class SpentStream : public plat::NSInputStream {
 public:
  void open() override {
    setStreamError(plat::NSError::make(plat::NSPOSIXErrorDomain, EIO,
                                       "The part's stream was read already and cannot be read "
                                       "again."));
  }
  void close() override {}
  int64_t readMaxLength(uint8_t*, uint64_t) override { return -1; }
  bool hasBytesAvailable() const override { return false; }
};

std::string lastPathComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

}  // namespace

namespace {

// Appends the percent escape of a byte that would end a header line or the header text (CR,
// LF) or cut it short for a reader in C (NUL); false for any other byte.
bool appendLineBreakEscape(char c, std::string& out) {
  switch (c) {
    case '\r':
      out += "%0D";
      return true;
    case '\n':
      out += "%0A";
      return true;
    case '\0':
      out += "%00";
      return true;
    default:
      return false;
  }
}

// A part header field name or value on one line of its own.
std::string escapeHeaderLineText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (!appendLineBreakEscape(c, out)) out += c;
  }
  return out;
}

// Text inside a quoted string: a quote cannot end it early, and a backslash is a quoted pair
// (a reader of quoted strings drops a lone one).
std::string escapeQuotedHeaderText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (appendLineBreakEscape(c, out)) continue;
    if (c == '"') {
      out += "%22";
    } else if (c == '\\') {
      out += "\\\\";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string SDPContentDisposition(const std::string& name,
                                  const std::optional<std::string>& fileName) {
  std::string value = "form-data; name=\"" + escapeQuotedHeaderText(name) + "\"";
  if (fileName) value += "; filename=\"" + escapeQuotedHeaderText(*fileName) + "\"";
  return value;
}

std::string SDPCreateMultipartFormBoundary() {
  static thread_local std::mt19937 rng{std::random_device{}()};
  char text[32];
  std::snprintf(text, sizeof text, "Boundary+%08X%08X", static_cast<unsigned>(rng()),
                static_cast<unsigned>(rng()));
  return text;
}

// ---- SDPHTTPBodyPart ----------------------------------------------------------------------

SDPHTTPBodyPart::SDPHTTPBodyPart() { transitionToNextPhase(); }

SDPHTTPBodyPart::~SDPHTTPBodyPart() {
  if (inputStream_) inputStream_->close();
}

const plat::NSInputStreamRef& SDPHTTPBodyPart::inputStream() {
  if (!inputStream_) {
    if (const auto* data = std::get_if<plat::Data>(&body)) {
      inputStream_ = plat::NSInputStream::inputStreamWithData(*data);
    } else if (const auto* path = std::get_if<std::string>(&body)) {
      inputStream_ = plat::NSInputStream::inputStreamWithFileAtPath(*path);
    } else if (const auto* stream = std::get_if<plat::NSInputStreamRef>(&body); stream && *stream) {
      inputStream_ = *stream;
    } else {
      inputStream_ = plat::NSInputStream::inputStreamWithData(plat::Data());
    }
  }
  return inputStream_;
}

std::string SDPHTTPBodyPart::stringForHeaders() const {
  std::string out;
  for (const auto& [field, value] : headers) {
    // Caller-given fields (a MIME type, appended headers) can hold anything: a line break
    // would add header lines to the part or end its headers early.
    out += escapeHeaderLineText(field) + ": " + escapeHeaderLineText(value.description()) + kCRLF;
  }
  out += kCRLF;
  return out;
}

uint64_t SDPHTTPBodyPart::contentLength() const {
  uint64_t length = hasInitialBoundary ? initialBoundary(boundary).size()
                                       : encapsulationBoundary(boundary).size();
  length += stringForHeaders().size();
  length += bodyContentLength;
  if (hasFinalBoundary) length += finalBoundary(boundary).size();
  return length;
}

bool SDPHTTPBodyPart::hasBytesAvailable() {
  if (phase_ == 4) return true;
  // A body that failed (to open or to read) still has its failure to report: the next read
  // answers -1 rather than the part being skipped as if it had ended.
  const auto status = inputStream()->streamStatus();
  return status < plat::NSStreamStatusAtEnd || status == plat::NSStreamStatusError;
}

int64_t SDPHTTPBodyPart::readMaxLength(uint8_t* buffer, uint64_t maxLength) {
  uint64_t total = 0;
  if (phase_ == 1) {
    const std::string text =
        hasInitialBoundary ? initialBoundary(boundary) : encapsulationBoundary(boundary);
    total += static_cast<uint64_t>(readText(text, buffer + total, maxLength - total));
  }
  if (phase_ == 2) {
    total += static_cast<uint64_t>(readText(stringForHeaders(), buffer + total, maxLength - total));
  }
  if (phase_ == 3) {
    const auto& stream = inputStream();
    // An error status is a failure, never the end of the body.
    if (stream->streamStatus() == plat::NSStreamStatusError) return -1;
    const int64_t n =
        maxLength > total ? stream->readMaxLength(buffer + total, maxLength - total) : 0;
    if (n < 0 || stream->streamStatus() == plat::NSStreamStatusError) return -1;
    total += static_cast<uint64_t>(n);
    // A read of 0 bytes with room to spare is the end of the body even when a stream does
    // not say so through its status; waiting for more would spin forever.
    if (stream->streamStatus() >= plat::NSStreamStatusAtEnd || (n == 0 && maxLength > total)) {
      transitionToNextPhase();
    }
  }
  if (phase_ == 4) {
    const std::string text = hasFinalBoundary ? finalBoundary(boundary) : std::string();
    total += static_cast<uint64_t>(readText(text, buffer + total, maxLength - total));
  }
  return static_cast<int64_t>(total);
}

int64_t SDPHTTPBodyPart::readText(const std::string& text, uint8_t* buffer, uint64_t maxLength) {
  return readBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size(), buffer, maxLength);
}

int64_t SDPHTTPBodyPart::readDataIntoBufferMaxLength(const plat::Data& data, uint8_t* buffer,
                                                     uint64_t maxLength) {
  return readBytes(data.bytes(), data.length(), buffer, maxLength);
}

int64_t SDPHTTPBodyPart::readBytes(const uint8_t* bytes, uint64_t length, uint8_t* buffer,
                                   uint64_t maxLength) {
  const uint64_t remaining = length - std::min<uint64_t>(phaseReadOffset_, length);
  const uint64_t n = std::min(remaining, maxLength);
  if (n > 0) std::memcpy(buffer, bytes + phaseReadOffset_, n);
  phaseReadOffset_ += n;
  if (phaseReadOffset_ >= length) transitionToNextPhase();
  return static_cast<int64_t>(n);
}

void SDPHTTPBodyPart::transitionToNextPhase() {
  switch (phase_) {
    case 1:
      phase_ = 2;
      break;
    case 2:
      phase_ = 3;
      inputStream()->open();
      break;
    case 3:
      inputStream()->close();
      phase_ = 4;
      break;
    default:
      phase_ = 1;
      break;
  }
  phaseReadOffset_ = 0;
}

std::unique_ptr<SDPHTTPBodyPart> SDPHTTPBodyPart::copy() const {
  auto part = std::make_unique<SDPHTTPBodyPart>();
  part->stringEncoding = stringEncoding;
  part->headers = headers;
  part->bodyContentLength = bodyContentLength;
  part->body = body;
  part->boundary = boundary;
  return part;
}

void SDPHTTPBodyPart::rewind() {
  phase_ = 1;
  phaseReadOffset_ = 0;
  if (!inputStream_ || inputStream_->streamStatus() == plat::NSStreamStatusNotOpen) return;
  const auto* stream = std::get_if<plat::NSInputStreamRef>(&body);
  if (stream && *stream) {
    // A caller's stream is read once; its copy (when it can make one) serves the next reading.
    auto again = (*stream)->copyStream();
    inputStream_ = again ? again : std::make_shared<SpentStream>();
  } else {
    inputStream_->close();
    inputStream_.reset();  // made anew on next use
  }
}

// ---- SDPMultipartBodyStream ---------------------------------------------------------------

SDPMultipartBodyStream::SDPMultipartBodyStream(uint64_t stringEncoding)
    : stringEncoding_(stringEncoding) {}

void SDPMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<SDPHTTPBodyPart> part) {
  parts_.push_back(std::move(part));
}

uint64_t SDPMultipartBodyStream::contentLength() const {
  uint64_t length = 0;
  for (const auto& part : parts_) length += part->contentLength();
  return length;
}

void SDPMultipartBodyStream::setInitialAndFinalBoundaries() {
  if (parts_.empty()) return;
  for (auto& part : parts_) {
    part->hasInitialBoundary = false;
    part->hasFinalBoundary = false;
  }
  parts_.front()->hasInitialBoundary = true;
  parts_.back()->hasFinalBoundary = true;
}

void SDPMultipartBodyStream::open() {
  if (streamStatus() == plat::NSStreamStatusOpen) return;
  setStreamStatus(plat::NSStreamStatusOpen);
  setInitialAndFinalBoundaries();
  for (auto& part : parts_) part->rewind();
  nextPart_ = 0;
  current_ = nullptr;
}

void SDPMultipartBodyStream::close() { setStreamStatus(plat::NSStreamStatusClosed); }

bool SDPMultipartBodyStream::hasBytesAvailable() const {
  return streamStatus() == plat::NSStreamStatusOpen;
}

int64_t SDPMultipartBodyStream::readMaxLength(uint8_t* buffer, uint64_t maxLength) {
  if (streamStatus() == plat::NSStreamStatusClosed) return 0;
  if (streamStatus() == plat::NSStreamStatusError) return -1;
  const uint64_t limit = std::min(maxLength, numberOfBytesInPacket);
  if (limit == 0) return 0;
  uint64_t total = 0;
  while (true) {
    if (current_ && current_->hasBytesAvailable()) {
      const int64_t n = current_->readMaxLength(buffer + total, limit - total);
      if (n < 0) {
        // A part that cannot be read fails the whole body: ending it here would send a
        // truncated upload that the server could take for a complete one.
        plat::NSErrorRef partError = current_->inputStream()->streamError();
        if (!partError) partError = plat::NSError::make(plat::NSPOSIXErrorDomain, 5);  // EIO
        setStreamError(partError);
        return -1;
      }
      total += static_cast<uint64_t>(n);
      if (delay > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(delay));
      }
      if (total >= limit) return static_cast<int64_t>(total);
    } else {
      if (nextPart_ >= parts_.size()) {
        current_ = nullptr;
        return static_cast<int64_t>(total);
      }
      current_ = parts_[nextPart_++].get();
      if (total >= limit) return static_cast<int64_t>(total);
    }
  }
}

plat::NSInputStreamRef SDPMultipartBodyStream::copyStream() const {
  auto copy = std::make_shared<SDPMultipartBodyStream>(stringEncoding_);
  for (const auto& part : parts_) copy->appendHTTPBodyPart(part->copy());
  copy->numberOfBytesInPacket = numberOfBytesInPacket;
  copy->delay = delay;
  copy->setInitialAndFinalBoundaries();
  return copy;
}

// ---- SDPStreamingMultipartFormData --------------------------------------------------------

SDPStreamingMultipartFormData::SDPStreamingMultipartFormData(const plat::NSURLRequest& request,
                                                             uint64_t stringEncoding)
    : request_(request.mutableCopy()),
      stringEncoding_(stringEncoding),
      boundary_(SDPCreateMultipartFormBoundary()),
      bodyStream_(SDPMultipartBodyStream::initWithStringEncoding(stringEncoding)) {}

bool SDPStreamingMultipartFormData::appendPartWithFileURLNameError(const std::string& fileURL,
                                                                   const std::string& name,
                                                                   plat::NSErrorRef* error) {
  const std::string path = SDPFilePathFromFileURL(fileURL).value_or(fileURL);
  const std::string fileName = lastPathComponent(path);
  const std::string extension = std::filesystem::path(fileName).extension().string();
  std::string mimeType = SDPMIMETypeForPathExtension(extension.empty() ? "" : extension.substr(1));
  if (mimeType.empty()) mimeType = "application/octet-stream";
  return appendPartWithFileURLNameFileNameMimeTypeError(fileURL, name, fileName, mimeType, error);
}

bool SDPStreamingMultipartFormData::appendPartWithFileURLNameFileNameMimeTypeError(
    const std::string& fileURL, const std::string& name, const std::string& fileName,
    const std::string& mimeType, plat::NSErrorRef* error) {
  const auto path = SDPFilePathFromFileURL(fileURL);
  if (!path) {
    if (error) *error = requestError("Expected URL to be a file URL");
    return false;
  }
  std::error_code ec;
  // A path with a NUL names no file (the system would stop at the NUL and read another).
  if (!plat::isValidFilePath(*path) || !std::filesystem::exists(*path, ec)) {
    if (error) *error = requestError("File URL not reachable.");
    return false;
  }
  const auto size = std::filesystem::file_size(*path, ec);
  if (ec) {
    if (error) {
      plat::Dictionary info;
      info.set(plat::NSFilePathErrorKey, *path);
      info.set(plat::NSLocalizedDescriptionKey, ec.message());
      *error = plat::NSError::make(plat::NSPOSIXErrorDomain, ec.value(), std::move(info));
    }
    return false;
  }
  plat::Dictionary headers;
  headers.set("Content-Disposition", SDPContentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  appendPart(std::move(headers), *path, size);
  return true;
}

void SDPStreamingMultipartFormData::appendPartWithInputStreamNameFileNameLengthMimeType(
    plat::NSInputStreamRef inputStream, const std::string& name, const std::string& fileName,
    int64_t length, const std::string& mimeType) {
  plat::Dictionary headers;
  headers.set("Content-Disposition", SDPContentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  appendPart(std::move(headers), std::move(inputStream),
             static_cast<uint64_t>(std::max<int64_t>(length, 0)));
}

void SDPStreamingMultipartFormData::appendPartWithFileDataNameFileNameMimeType(
    const plat::Data& data, const std::string& name, const std::string& fileName,
    const std::string& mimeType) {
  plat::Dictionary headers;
  headers.set("Content-Disposition", SDPContentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  appendPartWithHeadersBody(headers, data);
}

void SDPStreamingMultipartFormData::appendPartWithFormDataName(const plat::Data& data,
                                                               const std::string& name) {
  plat::Dictionary headers;
  headers.set("Content-Disposition", SDPContentDisposition(name, std::nullopt));
  appendPartWithHeadersBody(headers, data);
}

void SDPStreamingMultipartFormData::appendPartWithHeadersBody(const plat::Dictionary& headers,
                                                              const plat::Data& body) {
  appendPart(headers, body, body.length());
}

void SDPStreamingMultipartFormData::appendPart(plat::Dictionary headers, SDPHTTPBodyPart::Body body,
                                               uint64_t length) {
  auto part = std::make_unique<SDPHTTPBodyPart>();
  part->stringEncoding = stringEncoding_;
  part->headers = std::move(headers);
  part->boundary = boundary_;
  part->body = std::move(body);
  part->bodyContentLength = length;
  bodyStream_->appendHTTPBodyPart(std::move(part));
}

void SDPStreamingMultipartFormData::throttleBandwidthWithPacketSizeDelay(uint64_t numberOfBytes,
                                                                         double delay) {
  bodyStream_->numberOfBytesInPacket = numberOfBytes;
  bodyStream_->delay = delay;
}

plat::NSMutableURLRequestRef SDPStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  request_->setHTTPBodyStream(bodyStream_);
  request_->setValueForHTTPHeaderField("multipart/form-data; boundary=" + boundary_,
                                       "Content-Type");
  request_->setValueForHTTPHeaderField(std::to_string(bodyStream_->contentLength()),
                                       "Content-Length");
  return request_;
}
