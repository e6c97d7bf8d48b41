#pragma once
// Streamed "multipart/form-data" bodies. SDPStreamingMultipartFormData collects the parts of
// a form and finally makes its SDPMultipartBodyStream the request's body stream;
// SDPMultipartBodyStream reads the parts one after the other, and SDPHTTPBodyPart produces
// one part's bytes phase by phase (boundary, headers, body, closing boundary). Nothing is
// assembled in memory: file and stream bodies are read as the request is sent.
//
// Wire format (B the boundary, CRLF "\r\n"): "--" B CRLF before the first part, CRLF "--" B
// CRLF before every later part, each header as "name: value" CRLF then CRLF, the body, and
// CRLF "--" B "--" CRLF after the last part.
//
// Thread-safety: a form is built on one thread. The body stream is then read by one thread
// at a time (the transfer thread); it never hops to another thread. Throttling
// (throttleBandwidthWithPacketSizeDelay) sleeps the reading thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/NSError.h"
#include "platform/foundation/Value.h"
#include "platform/network/NSStream.h"
#include "platform/network/NSURLRequest.h"

// The operations a caller's block uses to add parts to a form.
class SDPMultipartFormData {
 public:
  virtual ~SDPMultipartFormData() = default;
  // A part from a file: the file name is the path's last component and the MIME type comes
  // from its extension ("application/octet-stream" when unknown). See the next operation.
  virtual bool appendPartWithFileURLNameError(const std::string& fileURL, const std::string& name,
                                              plat::NSErrorRef* error) = 0;
  // A part whose body is read from the file when sent. Returns false and sets *error
  // (domain "com.sdpkit.error.serialization.request", code -1000) when `fileURL` is not a
  // file URL or the file does not exist; a file whose attributes cannot be read fails with
  // the system's error.
  virtual bool appendPartWithFileURLNameFileNameMimeTypeError(const std::string& fileURL,
                                                              const std::string& name,
                                                              const std::string& fileName,
                                                              const std::string& mimeType,
                                                              plat::NSErrorRef* error) = 0;
  // A part read from `inputStream`, which must supply exactly `length` bytes.
  virtual void appendPartWithInputStreamNameFileNameLengthMimeType(
      plat::NSInputStreamRef inputStream, const std::string& name, const std::string& fileName,
      int64_t length, const std::string& mimeType) = 0;
  virtual void appendPartWithFileDataNameFileNameMimeType(const plat::Data& data,
                                                          const std::string& name,
                                                          const std::string& fileName,
                                                          const std::string& mimeType) = 0;
  // A plain form field (Content-Disposition only).
  virtual void appendPartWithFormDataName(const plat::Data& data, const std::string& name) = 0;
  // A part with exactly these header fields (in their order) and body.
  virtual void appendPartWithHeadersBody(const plat::Dictionary& headers,
                                         const plat::Data& body) = 0;
  // Limits each read of the body to `numberOfBytes` and waits `delay` seconds after each
  // chunk read from a part.
  virtual void throttleBandwidthWithPacketSizeDelay(uint64_t numberOfBytes, double delay) = 0;
};

// One part of a multipart body. Phases: 1 boundary, 2 headers, 3 body, 4 closing boundary.
class SDPHTTPBodyPart {
 public:
  // Data in memory, a file path (read when sent) or a stream.
  using Body = std::variant<plat::Data, std::string, plat::NSInputStreamRef>;

  SDPHTTPBodyPart();
  ~SDPHTTPBodyPart();
  SDPHTTPBodyPart(const SDPHTTPBodyPart&) = delete;
  SDPHTTPBodyPart& operator=(const SDPHTTPBodyPart&) = delete;

  uint64_t stringEncoding = 4;
  plat::Dictionary headers;
  std::string boundary;
  Body body;
  uint64_t bodyContentLength = 0;
  bool hasInitialBoundary = false;
  bool hasFinalBoundary = false;

  int phase() const { return phase_; }
  // The body as a stream, made on first use.
  const plat::NSInputStreamRef& inputStream();
  // The header block: "name: value" CRLF per field, then CRLF. CR, LF and NUL in a name or
  // value are written as %0D, %0A and %00, so that no field adds lines or ends the block.
  std::string stringForHeaders() const;
  // The part's byte count on the wire, boundaries included.
  uint64_t contentLength() const;
  // True in phase 4, otherwise while the body stream is not at its end.
  bool hasBytesAvailable();
  // Reads up to maxLength bytes of the part. Returns the count (0 once done) or -1 when the
  // body stream failed (its error is then in inputStream()->streamError()).
  int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength);
  // Reads the text of the current phase (`data`): copies up to maxLength bytes from the
  // phase's read offset on, advances the offset, and moves to the next phase once the whole
  // of `data` has been read. Returns the count copied.
  int64_t readDataIntoBufferMaxLength(const plat::Data& data, uint8_t* buffer, uint64_t maxLength);
  // A fresh part with the same encoding, headers, body, length and boundary (no boundary
  // flags, phase 1).
  std::unique_ptr<SDPHTTPBodyPart> copy() const;
  // Back to phase 1 for another reading of the part. A body that was read before is read
  // again from a fresh stream: data and files always, a caller's stream through its copy;
  // one that cannot be copied fails the reading (-1) instead of being left out.
  void rewind();

 private:
  int64_t readText(const std::string& text, uint8_t* buffer, uint64_t maxLength);
  int64_t readBytes(const uint8_t* bytes, uint64_t length, uint8_t* buffer, uint64_t maxLength);
  void transitionToNextPhase();

  int phase_ = 0;
  uint64_t phaseReadOffset_ = 0;
  plat::NSInputStreamRef inputStream_;
};

// The receiver of a stream's events (the platform's stream delegate protocol); event codes
// are the platform's (1 opened, 2 bytes available, 4 space available, 8 error, 16 at end).
class SDPStreamDelegate {
 public:
  virtual ~SDPStreamDelegate() = default;
  virtual void streamHandleEvent(plat::NSStream& stream, uint64_t eventCode) {}
};

// The input stream of a multipart body. Statuses: 0 not open, 2 open, 6 closed, 7 error
// (a part's body failed to read; streamError() tells why).
class SDPMultipartBodyStream : public plat::NSInputStream, public SDPStreamDelegate {
 public:
  explicit SDPMultipartBodyStream(uint64_t stringEncoding);
  static std::shared_ptr<SDPMultipartBodyStream> initWithStringEncoding(uint64_t stringEncoding) {
    return std::make_shared<SDPMultipartBodyStream>(stringEncoding);
  }
  std::string className() const override { return "SDPMultipartBodyStream"; }

  uint64_t numberOfBytesInPacket = static_cast<uint64_t>(INT64_MAX);
  double delay = 0;

  // The stream's delegate (held weakly; none by default). The body is read synchronously
  // and never scheduled on a run loop, so the stream sends it no events.
  std::weak_ptr<SDPStreamDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<SDPStreamDelegate> delegate) { delegate_ = std::move(delegate); }

  void appendHTTPBodyPart(std::unique_ptr<SDPHTTPBodyPart> part);
  bool isEmpty() const { return parts_.empty(); }
  // Sum of the parts' content lengths.
  uint64_t contentLength() const;
  // Marks the first part as first and the last part as last (clearing the others).
  void setInitialAndFinalBoundaries();
  const std::vector<std::unique_ptr<SDPHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }

  // Starts a reading of the whole body, every part from its beginning (a second reading
  // gives the same bytes).
  void open() override;
  void close() override;
  // Reads the next bytes of the body: 0 at its end or when closed, -1 (status 7) when a
  // part's body failed.
  int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength) override;
  bool hasBytesAvailable() const override;
  // A new unopened stream with copies of every part.
  plat::NSInputStreamRef copyStream() const override;

 private:
  std::weak_ptr<SDPStreamDelegate> delegate_;
  uint64_t stringEncoding_;
  std::vector<std::unique_ptr<SDPHTTPBodyPart>> parts_;
  size_t nextPart_ = 0;
  SDPHTTPBodyPart* current_ = nullptr;
};

class SDPStreamingMultipartFormData : public SDPMultipartFormData {
 public:
  // Keeps a copy of `request`; makes the boundary "Boundary+XXXXXXXXYYYYYYYY" (random).
  SDPStreamingMultipartFormData(const plat::NSURLRequest& request, uint64_t stringEncoding);

  const std::string& boundary() const { return boundary_; }
  const std::shared_ptr<SDPMultipartBodyStream>& bodyStream() const { return bodyStream_; }

  bool appendPartWithFileURLNameError(const std::string& fileURL, const std::string& name,
                                      plat::NSErrorRef* error) override;
  bool appendPartWithFileURLNameFileNameMimeTypeError(const std::string& fileURL,
                                                      const std::string& name,
                                                      const std::string& fileName,
                                                      const std::string& mimeType,
                                                      plat::NSErrorRef* error) override;
  void appendPartWithInputStreamNameFileNameLengthMimeType(plat::NSInputStreamRef inputStream,
                                                           const std::string& name,
                                                           const std::string& fileName,
                                                           int64_t length,
                                                           const std::string& mimeType) override;
  void appendPartWithFileDataNameFileNameMimeType(const plat::Data& data, const std::string& name,
                                                  const std::string& fileName,
                                                  const std::string& mimeType) override;
  void appendPartWithFormDataName(const plat::Data& data, const std::string& name) override;
  void appendPartWithHeadersBody(const plat::Dictionary& headers, const plat::Data& body) override;
  void throttleBandwidthWithPacketSizeDelay(uint64_t numberOfBytes, double delay) override;

  // The request with the body stream, "Content-Type: multipart/form-data; boundary=B" and
  // "Content-Length"; the request unchanged when no part was added.
  plat::NSMutableURLRequestRef requestByFinalizingMultipartFormData();

 private:
  void appendPart(plat::Dictionary headers, SDPHTTPBodyPart::Body body, uint64_t length);

  plat::NSMutableURLRequestRef request_;
  uint64_t stringEncoding_;
  std::string boundary_;
  std::shared_ptr<SDPMultipartBodyStream> bodyStream_;
};

// "Boundary+" and two random 32-bit numbers as 8 upper-case hex digits each.
std::string SDPCreateMultipartFormBoundary();
// "form-data; name=\"...\"" with "; filename=\"...\"" when a file name is given. Names are
// escaped as browsers escape them ('"' -> %22, CR -> %0D, LF -> %0A, and NUL -> %00), so that
// no name can end the quoted text or start another header line; a backslash is written as the
// quoted pair "\\", which quoted-string readers read back as one backslash.
std::string SDPContentDisposition(const std::string& name,
                                  const std::optional<std::string>& fileName);
