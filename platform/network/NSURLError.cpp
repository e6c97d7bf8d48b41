#include "platform/network/NSURLError.h"

namespace plat {

namespace {
const char* descriptionFor(int64_t code) {
  switch (code) {
    case NSURLErrorCancelled:
      return "cancelled";
    case NSURLErrorBadURL:
      return "bad URL";
    case NSURLErrorTimedOut:
      return "The request timed out.";
    case NSURLErrorUnsupportedURL:
      return "unsupported URL";
    case NSURLErrorCannotFindHost:
      return "A server with the specified hostname could not be found.";
    case NSURLErrorCannotConnectToHost:
      return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost:
      return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects:
      return "too many HTTP redirects";
    case NSURLErrorBadServerResponse:
      return "The server returned an invalid response.";
    case NSURLErrorUserCancelledAuthentication:
      return "cancelled";
    case NSURLErrorCannotDecodeRawData:
      return "cannot decode raw data";
    case NSURLErrorCannotDecodeContentData:
      return "cannot decode content data";
    case NSURLErrorRequestBodyStreamExhausted:
      return "request body stream exhausted";
    case NSURLErrorFileDoesNotExist:
      return "The requested URL was not found on this server.";
    case NSURLErrorFileIsDirectory:
      return "The file is a directory.";
    case NSURLErrorNoPermissionsToReadFile:
      return "The file could not be read.";
    case NSURLErrorDataLengthExceedsMaximum:
      return "resource exceeds maximum size";
    case NSURLErrorSecureConnectionFailed:
      return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case NSURLErrorServerCertificateUntrusted:
      return "The certificate for this server is invalid.";
    case NSURLErrorCannotCreateFile:
      return "Cannot create file";
    case NSURLErrorCannotOpenFile:
      return "Cannot open file";
    case NSURLErrorCannotWriteToFile:
      return "Cannot write to file";
    default:
      return "unknown error";
  }
}
}  // namespace

NSErrorRef makeURLError(int64_t code, const std::string& failingURL, NSErrorRef underlying) {
  Dictionary info;
  info.set(NSLocalizedDescriptionKey, descriptionFor(code));
  if (!failingURL.empty()) {
    info.set(NSURLErrorFailingURLErrorKey, failingURL);
    info.set(NSURLErrorFailingURLStringErrorKey, failingURL);
  }
  if (underlying) info.set(NSUnderlyingErrorKey, Value(underlying));
  return NSError::make(NSURLErrorDomain, code, std::move(info));
}

}  // namespace plat
