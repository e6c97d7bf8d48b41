#pragma once
// plat::NSURL: an immutable URL with the platform's semantics, and the percent-encoding
// helpers that go with it (URLCharacterSet, addingPercentEncoding, removingPercentEncoding).
//
// Parsing is strict: URLWithString returns nullptr for text that is not a valid URL
// reference (spaces, non-ASCII, characters such as " < > \ ^ ` { | }, a second '#', a bad
// percent escape, a non-numeric or out-of-range port, brackets outside an IPv6 host, empty
// text). Parts that are absent come back as "" (nil), and the port as std::nullopt.
// Thread-safe (immutable after creation).

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/NSCoding.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/Object.h"
#include "platform/foundation/Value.h"

namespace plat {

// A set of ASCII characters left as they are by percent-encoding. Bytes outside the set,
// and every non-ASCII byte, are encoded.
class URLCharacterSet {
 public:
  URLCharacterSet() = default;
  // Letters, digits and "-._~" plus the sub-delimiters "!$&'()*+,;=" and ":@/?".
  static URLCharacterSet URLQueryAllowedCharacterSet();
  static URLCharacterSet URLFragmentAllowedCharacterSet();
  // Letters, digits, "-._~", "!$&'()*+,=" and ":@/" (no ';', no '?').
  static URLCharacterSet URLPathAllowedCharacterSet();
  // Letters, digits, "-._~", the sub-delimiters and ":[]".
  static URLCharacterSet URLHostAllowedCharacterSet();
  // Letters, digits, "-._~" and the sub-delimiters (no ':' or '@').
  static URLCharacterSet URLUserAllowedCharacterSet();
  static URLCharacterSet URLPasswordAllowedCharacterSet();
  static URLCharacterSet alphanumericCharacterSet();
  // The ASCII characters of `chars` (others are ignored).
  static URLCharacterSet characterSetWithCharactersInString(std::string_view chars);

  URLCharacterSet adding(std::string_view chars) const;
  URLCharacterSet removing(std::string_view chars) const;
  bool contains(unsigned char c) const { return c < 128 && bits_.test(c); }

 private:
  std::bitset<128> bits_;
};

// The platform's stringByAddingPercentEncodingWithAllowedCharacters: each byte of the UTF-8
// text outside `allowed` becomes "%XX" (upper-case hex).
std::string addingPercentEncoding(std::string_view text, const URLCharacterSet& allowed);
// The platform's stringByRemovingPercentEncoding: std::nullopt when an escape is malformed
// ("%", "%4", "%zz") or the decoded bytes are not valid UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view text);

class NSURL;

// Resource keys of NSURL::getResourceValueForKey.
inline constexpr const char* NSURLFileSizeKey = "NSURLFileSizeKey";
using NSURLRef = std::shared_ptr<NSURL>;

// Archived as the platform archives URLs: "NS.base" (the base URL or nil) and
// "NS.relative" (the relative string).
class NSURL : public Object, public NSCoding {
 public:
  // nullptr when `string` is not a valid URL (see the top of this header).
  static NSURLRef URLWithString(std::string_view string);
  // `string` resolved against `base` (RFC 3986). With a null base this is URLWithString.
  // nullptr when `string` is invalid.
  static NSURLRef URLWithStringRelativeToURL(std::string_view string, const NSURLRef& base);
  // A "file://" URL for a path. A relative path is taken against the current directory; a
  // path naming an existing directory (or ending in "/") gets a trailing "/". nullptr for "".
  static NSURLRef fileURLWithPath(std::string_view path);
  static NSURLRef fileURLWithPathIsDirectory(std::string_view path, bool isDirectory);

  // The full text of the URL, resolved against the base.
  const std::string& absoluteString() const { return absolute_; }
  // The text the URL was made from (before resolution).
  const std::string& relativeString() const { return relative_; }
  NSURLRef baseURL() const { return base_; }
  // This URL without a base (itself when it has none).
  NSURLRef absoluteURL() const;

  const std::string& scheme() const { return scheme_; }
  // Everything after "scheme:" ("//host/path?q" or "mailto" text).
  std::string resourceSpecifier() const;
  // The host, percent-decoded; brackets of an IPv6 host removed (a zone id comes back as
  // "fe80::1%en0").
  std::string host() const;
  std::optional<int> port() const { return port_; }
  std::string user() const;
  std::string password() const;
  // The path, percent-decoded, with a trailing "/" removed unless the path is "/". "" for a
  // URL without a hierarchical path ("mailto:x") or whose path does not decode to UTF-8.
  std::string path() const;
  // The path as written (still percent-encoded, trailing "/" kept).
  const std::string& percentEncodedPath() const { return path_; }
  // Query and fragment as written (not decoded), without '?' / '#'.
  const std::string& query() const { return query_; }
  const std::string& fragment() const { return fragment_; }
  bool hasDirectoryPath() const { return !path_.empty() && path_.back() == '/'; }
  bool isFileURL() const;

  // The platform's getResourceValue:forKey:error: for file URLs. Keys known: NSURLFileSizeKey
  // (the size in bytes of a regular file, as a number; none for other kinds of file). Returns
  // true with *value set, or left empty for an unknown key or a value the file lacks; false
  // with *error for a URL that is not a file URL (NSCocoaErrorDomain 262) or a file that
  // cannot be examined (260 when missing; a path with a NUL byte is refused as missing).
  bool getResourceValueForKey(Value* value, const std::string& key,
                              NSErrorRef* error = nullptr) const;

  // The last component of path(): "" for an empty path, "/" for the root.
  std::string lastPathComponent() const;
  // The text after the last '.' of lastPathComponent(), or "" (also for ".hidden" and "a.").
  std::string pathExtension() const;
  // path() split at '/', the root as "/": "/a/b" gives {"/", "a", "b"}.
  std::vector<std::string> pathComponents() const;

  // New URLs (resolved, without a base). The query and fragment are kept. A component is
  // percent-encoded as a path segment ('/' inside it is kept as a separator). nullptr for a
  // URL without a hierarchical path ("mailto:x").
  NSURLRef URLByAppendingPathComponent(std::string_view component) const;
  NSURLRef URLByAppendingPathComponentIsDirectory(std::string_view component,
                                                  bool isDirectory) const;
  // "/a/b" and "/a/b/" give "/a/"; "/" stays "/".
  NSURLRef URLByDeletingLastPathComponent() const;
  NSURLRef URLByAppendingPathExtension(std::string_view extension) const;
  NSURLRef URLByDeletingPathExtension() const;

  std::string className() const override { return "NSURL"; }
  // The absolute string, or "<relative> -- <base>" for a URL made relative to a base.
  std::string description() const override;
  // Same relative string and equal bases.
  bool isEqual(const Object& other) const override;

  void encodeWithCoder(NSKeyedArchiver& coder) const override;
  // False (nil in the archive's place) when the relative string is missing or not a URL.
  bool initWithCoder(NSKeyedUnarchiver& coder) override;

  // Use the factories above.
  NSURL() = default;

 private:
  bool parse(std::string_view text);
  NSURLRef withPath(std::string path) const;

  std::string relative_;
  std::string absolute_;
  NSURLRef base_;
  std::string scheme_;
  bool opaque_ = false;  // "scheme:" followed by something other than '/'
  bool hasAuthority_ = false;
  std::string userInfo_;  // as written
  std::string host_;      // as written, brackets included
  std::optional<int> port_;
  std::string path_;
  bool hasQuery_ = false;
  std::string query_;
  bool hasFragment_ = false;
  std::string fragment_;
};

}  // namespace plat
