// Multipart bodies: the exact wire format, lengths, chunked reads, file parts, failures of a
// part's stream, copies and writing a body to a file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "net/SDPHTTPRequestSerializer.h"
#include "net/SDPStreamingMultipartFormData.h"
#include "platform/dispatch/Dispatch.h"
#include "testing/loop/Pump.h"

namespace {

std::string readAll(plat::NSInputStream& stream, uint64_t chunk, int64_t* status = nullptr,
                    uint64_t* largestRead = nullptr, bool closeAtEnd = true) {
  stream.open();
  std::string out;
  std::vector<uint8_t> buffer(chunk);
  for (int guard = 0; guard < 1000000; ++guard) {
    int64_t n = stream.readMaxLength(buffer.data(), chunk);
    if (status) *status = n;
    if (n <= 0) break;
    if (largestRead) *largestRead = std::max<uint64_t>(*largestRead, n);
    out.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(n));
  }
  if (closeAtEnd) stream.close();
  return out;
}

std::filesystem::path tempFile(const std::string& name, const std::string& contents) {
  auto dir =
      std::filesystem::temp_directory_path() / ("sdp-multipart-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto path = dir / name;
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

// Writes the body of `request` to `path` and waits for the completion; returns its error.
plat::NSErrorRef writeBodyToFile(SDPHTTPRequestSerializer& serializer,
                                 const plat::NSURLRequestRef& request, const std::string& path) {
  bool done = false;
  plat::NSErrorRef result;
  serializer.requestWithMultipartFormRequestWritingStreamContentsToFileCompletionHandler(
      request, path, [&](plat::NSErrorRef error) {
        result = error;
        done = true;
      });
  EXPECT_TRUE(testing_loop::runUntil([&] { return done; }));
  return result;
}

// A stream that delivers some bytes and then fails.
class FailingStream : public plat::NSInputStream {
 public:
  void open() override { setStreamStatus(plat::NSStreamStatusOpen); }
  void close() override {
    if (streamStatus() != plat::NSStreamStatusError) setStreamStatus(plat::NSStreamStatusClosed);
  }
  int64_t readMaxLength(uint8_t* buffer, uint64_t maxLength) override {
    if (sent_) {
      setStreamError(plat::NSError::make(plat::NSPOSIXErrorDomain, 5));
      return -1;
    }
    sent_ = true;
    buffer[0] = 'x';
    return 1;
  }
  bool hasBytesAvailable() const override { return streamStatus() == plat::NSStreamStatusOpen; }

 private:
  bool sent_ = false;
};

}  // namespace

TEST(SDPMultipartFormDataTest, OneFieldHasTheExactWireFormatAndLength) {
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  request->setHTTPMethod("POST");
  SDPStreamingMultipartFormData form(*request, 4);
  form.appendPartWithFormDataName(plat::Data::fromString("abc"), "a");
  auto finished = form.requestByFinalizingMultipartFormData();
  const std::string b = form.boundary();
  EXPECT_EQ(b.size(), std::string("Boundary+").size() + 16);
  EXPECT_EQ(b.rfind("Boundary+", 0), 0u);

  const std::string expected =
      "--" + b + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nabc\r\n--" + b + "--\r\n";
  EXPECT_EQ(finished->valueForHTTPHeaderField("Content-Type"),
            "multipart/form-data; boundary=" + b);
  EXPECT_EQ(finished->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
  ASSERT_TRUE(finished->HTTPBodyStream());
  EXPECT_EQ(readAll(*finished->HTTPBodyStream(), 1024), expected);

  // A buffer of 3 bytes still yields every byte, final boundary included, also when read on
  // another thread while the main thread waits for it (no part needs the main thread).
  auto copy = finished->HTTPBodyStream()->copyStream();
  ASSERT_TRUE(copy);
  std::string readElsewhere;
  plat::dispatch_sync(plat::dispatch_get_global_queue(plat::DISPATCH_QUEUE_PRIORITY_DEFAULT),
                      [&] { readElsewhere = readAll(*copy, 3); });
  EXPECT_EQ(readElsewhere, expected);
}

TEST(SDPMultipartFormDataTest, EmptyFormLeavesTheRequestAlone) {
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*request, 4);
  auto finished = form.requestByFinalizingMultipartFormData();
  EXPECT_FALSE(finished->HTTPBodyStream());
  EXPECT_FALSE(finished->valueForHTTPHeaderField("Content-Type"));
}

TEST(SDPMultipartFormDataTest, SerializerBuildsFieldsFilesAndCallerParts) {
  auto file = tempFile("photo.png", "PNGDATA");
  auto serializer = SDPHTTPRequestSerializer::serializer();
  plat::NSErrorRef error;
  bool appended = false;
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up",
          plat::Value(plat::Dictionary{{"n", plat::Value::null()}, {"k", 5}}),
          [&](SDPMultipartFormData& form) {
            appended =
                form.appendPartWithFileURLNameError("file://" + file.string(), "pic", &error);
            form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString("{}"), "meta",
                                                            "m.json", "application/json");
          },
          &error);
  ASSERT_TRUE(request);
  EXPECT_TRUE(appended) << (error ? error->description() : "");
  const std::string ct = *request->valueForHTTPHeaderField("Content-Type");
  const std::string b = ct.substr(ct.find("boundary=") + 9);
  const std::string expected =
      "--" + b +
      "\r\nContent-Disposition: form-data; name=\"k\"\r\n\r\n5"
      "\r\n--" +
      b +
      "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n"
      "\r\n--" +
      b +
      "\r\nContent-Disposition: form-data; name=\"pic\"; filename=\"photo.png\"\r\n"
      "Content-Type: image/png\r\n\r\nPNGDATA"
      "\r\n--" +
      b +
      "\r\nContent-Disposition: form-data; name=\"meta\"; filename=\"m.json\"\r\n"
      "Content-Type: application/json\r\n\r\n{}"
      "\r\n--" +
      b + "--\r\n";
  EXPECT_EQ(readAll(*request->HTTPBodyStream(), 7), expected);
  EXPECT_EQ(request->valueForHTTPHeaderField("Content-Length"), std::to_string(expected.size()));
}

TEST(SDPMultipartFormDataTest, BadFileURLsAreRefused) {
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*request, 4);
  plat::NSErrorRef error;
  EXPECT_FALSE(form.appendPartWithFileURLNameError("http://h/file.txt", "f", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), SDPURLRequestSerializationErrorDomain);
  EXPECT_EQ(error->code(), -1000);
  EXPECT_EQ(error->localizedFailureReason(), "Expected URL to be a file URL");

  error = nullptr;
  EXPECT_FALSE(form.appendPartWithFileURLNameError("file:///nonexistent/dir/x.bin", "f", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1000);
  EXPECT_EQ(error->localizedFailureReason(), "File URL not reachable.");
  EXPECT_TRUE(form.bodyStream()->isEmpty());
}

TEST(SDPMultipartFormDataTest, ThrottledReadsStayWithinThePacketSize) {
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*request, 4);
  form.appendPartWithFormDataName(plat::Data::fromString(std::string(100, 'z')), "big");
  form.throttleBandwidthWithPacketSizeDelay(16, 0);
  auto finished = form.requestByFinalizingMultipartFormData();
  uint64_t largest = 0;
  std::string body = readAll(*finished->HTTPBodyStream(), 1024, nullptr, &largest);
  EXPECT_LE(largest, 16u);
  EXPECT_EQ(std::to_string(body.size()), *finished->valueForHTTPHeaderField("Content-Length"));
}

TEST(SDPMultipartFormDataTest, AFailingPartFailsTheWholeBody) {
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*request, 4);
  form.appendPartWithInputStreamNameFileNameLengthMimeType(std::make_shared<FailingStream>(), "f",
                                                           "f.bin", 10, "application/octet-stream");
  auto stream = form.requestByFinalizingMultipartFormData()->HTTPBodyStream();
  int64_t last = 0;
  readAll(*stream, 4, &last, nullptr, /*closeAtEnd=*/false);
  EXPECT_EQ(last, -1);
  EXPECT_EQ(stream->streamStatus(), plat::NSStreamStatusError);
  ASSERT_TRUE(stream->streamError());
  EXPECT_EQ(stream->streamError()->code(), 5);
}

TEST(SDPMultipartFormDataTest, WritesTheBodyToAFile) {
  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", plat::Value(plat::Dictionary{{"a", std::string(3000, 'q')}}),
          nullptr, nullptr);
  const std::string expected = readAll(*request->HTTPBodyStream()->copyStream(), 4096);
  auto target = tempFile("body.out", "");
  bool done = false;
  plat::NSErrorRef result = plat::NSError::make("unset", 1);
  auto stripped =
      serializer->requestWithMultipartFormRequestWritingStreamContentsToFileCompletionHandler(
          request, target.string(), [&](plat::NSErrorRef error) {
            EXPECT_TRUE(plat::dispatch_is_main_thread());
            result = error;
            done = true;
          });
  EXPECT_FALSE(stripped->HTTPBodyStream());
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }));
  EXPECT_FALSE(result);
  std::ifstream in(target, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, expected);
}

TEST(SDPMultipartFormDataTest, ABodyReadAgainGivesTheSameBytesOrFails) {
  auto file = tempFile("again.bin", "file body");
  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", plat::Value(plat::Dictionary{{"a", "b"}}),
          [&](SDPMultipartFormData& form) {
            EXPECT_TRUE(
                form.appendPartWithFileURLNameError("file://" + file.string(), "f", nullptr));
            form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString("data body"),
                                                            "d", "d.txt", "text/plain");
          },
          nullptr);
  const std::string expected = readAll(*request->HTTPBodyStream(), 7);
  ASSERT_NE(expected.find("file body"), std::string::npos);
  ASSERT_NE(expected.find("data body"), std::string::npos);
  EXPECT_EQ(readAll(*request->HTTPBodyStream(), 4096), expected);

  // Written to a file twice, each time whole.
  for (int i = 0; i < 2; ++i) {
    auto target = tempFile("again.out", "");
    EXPECT_FALSE(writeBodyToFile(*serializer, request, target.string()));
    std::ifstream in(target, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected) << "writing " << i;
    std::filesystem::remove(target);
  }
  std::filesystem::remove(file);

  // A caller's stream that cannot be copied is read once: a second reading fails.
  auto plain = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*plain, 4);
  form.appendPartWithInputStreamNameFileNameLengthMimeType(
      plat::NSInputStream::inputStreamWithData(plat::Data::fromString("once")), "s", "s.bin", 4,
      "application/octet-stream");
  auto stream = form.requestByFinalizingMultipartFormData()->HTTPBodyStream();
  EXPECT_NE(readAll(*stream, 4096).find("once"), std::string::npos);
  int64_t last = 0;
  readAll(*stream, 4096, &last, nullptr, /*closeAtEnd=*/false);
  EXPECT_EQ(last, -1);
  EXPECT_EQ(stream->streamStatus(), plat::NSStreamStatusError);
  EXPECT_TRUE(stream->streamError());
}

TEST(SDPMultipartFormDataTest, WritingTheBodyToANamedPipeFailsWithoutWaitingForAReader) {
  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", plat::Value(plat::Dictionary{{"a", "b"}}), nullptr, nullptr);
  auto fifo = tempFile("pipe.in", "");
  std::filesystem::remove(fifo);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  bool done = false;
  plat::NSErrorRef result;
  // Should the writer be stuck opening the pipe, a reader lets it go (and drains what it
  // writes until it is done).
  struct Unblock {
    std::filesystem::path fifo;
    bool& done;
    ~Unblock() {
      int fd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
      if (fd >= 0) {
        char sink[4096];
        testing_loop::runUntil(
            [&] {
              while (::read(fd, sink, sizeof sink) > 0) {
              }
              return done;
            },
            10);
        ::close(fd);
      }
      std::filesystem::remove(fifo);
    }
  } unblock{fifo, done};
  serializer->requestWithMultipartFormRequestWritingStreamContentsToFileCompletionHandler(
      request, fifo.string(), [&](plat::NSErrorRef error) {
        result = error;
        done = true;
      });
  ASSERT_TRUE(testing_loop::runUntil([&] { return done; }, 10));
  EXPECT_TRUE(result);
}

// Values are written in the serializer's string encoding; one it cannot hold fails the
// request instead of being left out or sent with characters missing.
TEST(SDPMultipartFormDataTest, ValuesTakeTheStringEncodingOrFailTheRequest) {
  auto serializer = SDPHTTPRequestSerializer::serializer();
  const plat::Value parameters(plat::Dictionary{{"a", "caf\u00e9"}, {"b", "ok"}});
  serializer->setStringEncoding(5);  // ISO Latin-1
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", parameters, nullptr, nullptr);
  ASSERT_TRUE(request);
  const std::string ct = *request->valueForHTTPHeaderField("Content-Type");
  const std::string b = ct.substr(ct.find("boundary=") + 9);
  EXPECT_EQ(readAll(*request->HTTPBodyStream(), 1024),
            "--" + b + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\ncaf\xE9\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\nok\r\n--" + b + "--\r\n");

  serializer->setStringEncoding(1);  // ASCII
  plat::NSErrorRef error;
  EXPECT_FALSE(
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", parameters, nullptr, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain(), SDPURLRequestSerializationErrorDomain);
}

TEST(SDPMultipartFormDataTest, AFileThatCannotBeOpenedFailsTheBodyEvenWhenHeadersEndARead) {
  // The part's headers end exactly at byte 1024, where the file copy's reads stop: opening
  // the removed file then fails at a read boundary, and the copy must report that failure
  // rather than write a well-formed body with an empty file part.
  auto file = tempFile("vanishing.bin", "payload");
  auto build = [&](const std::string& fileName) {
    auto serializer = SDPHTTPRequestSerializer::serializer();
    return serializer
        ->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
            "POST", "http://h/up", plat::Value(),
            [&](SDPMultipartFormData& form) {
              EXPECT_TRUE(form.appendPartWithFileURLNameFileNameMimeTypeError(
                  "file://" + file.string(), "f", fileName, "application/octet-stream", nullptr));
            },
            nullptr);
  };
  const uint64_t framing = 29 + 7 + 33;  // first boundary, body, closing boundary
  const uint64_t headers =
      std::stoull(*build("x")->valueForHTTPHeaderField("Content-Length")) - framing;
  auto request = build("x" + std::string(1024 - 29 - headers, 'x'));
  std::filesystem::remove(file);

  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto target = tempFile("vanishing.out", "");
  auto result = writeBodyToFile(*serializer, request, target.string());
  ASSERT_TRUE(result);
  EXPECT_EQ(result->code(), ENOENT);
}

TEST(SDPMultipartFormDataTest, PathsWithANulAreRefusedNotCutShort) {
  auto secret = tempFile("secret.txt", "secret");
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  SDPStreamingMultipartFormData form(*request, 4);
  plat::NSErrorRef error;
  EXPECT_FALSE(
      form.appendPartWithFileURLNameError("file://" + secret.string() + "%00.png", "f", &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedFailureReason(), "File URL not reachable.");
  EXPECT_TRUE(form.bodyStream()->isEmpty());

  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto body =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", plat::Value(plat::Dictionary{{"a", "b"}}), nullptr, nullptr);
  auto target = secret.parent_path() / "out.bin";
  std::filesystem::remove(target);
  EXPECT_TRUE(writeBodyToFile(*serializer, body, target.string() + std::string(1, '\0') + ".txt"));
  EXPECT_FALSE(std::filesystem::exists(target));
}

TEST(SDPMultipartFormDataTest, NamesCannotBreakOutOfTheirQuotesOrHeaderLine) {
  auto serializer = SDPHTTPRequestSerializer::serializer();
  auto request =
      serializer->multipartFormRequestWithMethodURLStringParametersConstructingBodyWithBlockError(
          "POST", "http://h/up", plat::Value(plat::Dictionary{{"a\"\r\nX-Evil: 1", "v"}}),
          [](SDPMultipartFormData& form) {
            form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString("d"), "f",
                                                            "x\".txt\r\nX-Evil: 2", "text/plain");
          },
          nullptr);
  const std::string body = readAll(*request->HTTPBodyStream(), 1024);
  EXPECT_NE(body.find("name=\"a%22%0D%0AX-Evil: 1\"\r\n"), std::string::npos) << body;
  EXPECT_NE(body.find("filename=\"x%22.txt%0D%0AX-Evil: 2\"\r\n"), std::string::npos) << body;
  EXPECT_EQ(body.find("\r\nX-Evil"), std::string::npos);
}

namespace {

// A part as a multipart reader sees it: its header lines and its bytes.
struct ReadPart {
  std::vector<std::string> headerLines;
  std::string body;
};

std::vector<ReadPart> readParts(const std::string& body, const std::string& boundary) {
  std::vector<ReadPart> parts;
  const std::string delimiter = "\r\n--" + boundary;
  std::string text = "\r\n";
  text += body;
  for (size_t at = text.find(delimiter); at != std::string::npos;) {
    const size_t start = at + delimiter.size();
    if (text.compare(start, 2, "--") == 0) break;
    const size_t next = text.find(delimiter, start);
    const std::string part = text.substr(start + 2, next - start - 2);
    const size_t headEnd = part.find("\r\n\r\n");
    ReadPart read;
    for (size_t line = 0; line < headEnd;) {
      const size_t end = std::min(part.find("\r\n", line), headEnd);
      read.headerLines.push_back(part.substr(line, end - line));
      line = end + 2;
    }
    read.body = headEnd == std::string::npos ? "" : part.substr(headEnd + 4);
    parts.push_back(std::move(read));
    at = next;
  }
  return parts;
}

// The quoted-string parameter `key` of a header line, read as RFC 9110 reads quoted strings.
std::string quotedParameter(const std::string& line, const std::string& key) {
  const size_t at = line.find("; " + key + "=\"");
  if (at == std::string::npos) return "<none>";
  std::string out;
  for (size_t i = at + key.size() + 4; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      out += line[++i];
    } else if (line[i] == '"') {
      return out;
    } else {
      out += line[i];
    }
  }
  return "<unterminated>";
}

}  // namespace

// Whatever a name, file name, MIME type or appended header holds, a multipart reader finds
// each part's own header lines and bytes, and reads names back as given (backslashes too).
TEST(SDPMultipartFormDataTest, PartHeadersStayOnTheirLinesAndNamesReadBack) {
  using namespace std::string_literals;
  auto request = plat::NSMutableURLRequest::requestWithURL("http://h/up");
  request->setHTTPMethod("POST");
  SDPStreamingMultipartFormData form(*request, 4);
  form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString("one"), "C:\\dir",
                                                  "C:\\dir\\f.txt", "text/plain\r\nX-Evil: 1");
  form.appendPartWithFileDataNameFileNameMimeType(plat::Data::fromString("two"), "b", "b.txt",
                                                  "text/plain\r\n\r\nbefore");
  form.appendPartWithHeadersBody(plat::Dictionary{{"X-A\nX-B", "a\0b\nc"s}},
                                 plat::Data::fromString("three"));
  form.appendPartWithFormDataName(plat::Data::fromString("four"), "n\0x"s);
  auto finished = form.requestByFinalizingMultipartFormData();
  const std::string body = readAll(*finished->HTTPBodyStream(), 1024);
  EXPECT_EQ(finished->valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));

  const struct {
    size_t headerLines;
    std::string body;
  } expected[] = {{2, "one"}, {2, "two"}, {1, "three"}, {1, "four"}};
  const auto parts = readParts(body, form.boundary());
  ASSERT_EQ(parts.size(), std::size(expected)) << body;
  for (size_t i = 0; i < parts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(parts[i].headerLines.size(), expected[i].headerLines) << body;
    EXPECT_EQ(parts[i].body, expected[i].body);
    for (const auto& line : parts[i].headerLines) {
      EXPECT_EQ(line.find('\0'), std::string::npos);
      EXPECT_EQ(line.find('\r'), std::string::npos);
    }
  }
  EXPECT_EQ(quotedParameter(parts[0].headerLines[0], "name"), "C:\\dir");
  EXPECT_EQ(quotedParameter(parts[0].headerLines[0], "filename"), "C:\\dir\\f.txt");
}
