#pragma once
// Codes of the platform's URL error domain (plat::NSURLErrorDomain) and the constructor of
// such errors. HTTP status codes are never errors of this domain.

#include <cstdint>
#include <string>

#include "platform/foundation/NSError.h"

namespace plat {

inline constexpr int64_t NSURLErrorUnknown = -1;
inline constexpr int64_t NSURLErrorCancelled = -999;
inline constexpr int64_t NSURLErrorBadURL = -1000;
inline constexpr int64_t NSURLErrorTimedOut = -1001;
inline constexpr int64_t NSURLErrorUnsupportedURL = -1002;
inline constexpr int64_t NSURLErrorCannotFindHost = -1003;
inline constexpr int64_t NSURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t NSURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t NSURLErrorHTTPTooManyRedirects = -1007;
// The cache policy forbade the network and the response cache had no answer.
inline constexpr int64_t NSURLErrorResourceUnavailable = -1008;
inline constexpr int64_t NSURLErrorBadServerResponse = -1011;
inline constexpr int64_t NSURLErrorUserCancelledAuthentication = -1012;
// A body whose Content-Encoding could not be decoded.
inline constexpr int64_t NSURLErrorCannotDecodeRawData = -1015;
inline constexpr int64_t NSURLErrorCannotDecodeContentData = -1016;
inline constexpr int64_t NSURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr int64_t NSURLErrorFileDoesNotExist = -1100;
inline constexpr int64_t NSURLErrorFileIsDirectory = -1101;
inline constexpr int64_t NSURLErrorNoPermissionsToReadFile = -1102;
// A body held whole (a refused redirect's, an unanswered challenge's) outgrew its 4 MiB bound,
// a response header outgrew the engine's bound, or a request body held more bytes than its
// declared Content-Length.
inline constexpr int64_t NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr int64_t NSURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t NSURLErrorCannotCreateFile = -3000;
// A file to read from is not a regular file (a named pipe, a device, a socket).
inline constexpr int64_t NSURLErrorCannotOpenFile = -3001;
inline constexpr int64_t NSURLErrorCannotWriteToFile = -3003;

// An error of NSURLErrorDomain with the platform's localized description for `code`, the
// failing URL (under NSErrorFailingURLKey and NSErrorFailingURLStringKey, when non-empty)
// and an optional underlying error.
NSErrorRef makeURLError(int64_t code, const std::string& failingURL,
                        NSErrorRef underlying = nullptr);

}  // namespace plat
