#pragma once
// Helpers shared by the HTTP client's sources: the log, the main bundle, the string table
// "SDPNetworking", URL text handling and the facts the default request headers need.
// Thread-safe.

#include <optional>
#include <string>
#include <vector>

// Writes one line to the system log.
void SDPNetworkingLog(const std::string& message);
// The folder of the main bundle ("" when there is none).
std::string SDPMainBundlePath();
// The text for `key` in the main bundle's "SDPNetworking" table; the key when absent.
std::string SDPNetworkingLocalizedString(const std::string& key);

// The absolute text of the URL parsed from `URLString`; "" when it cannot be parsed.
std::string SDPAbsoluteURLString(const std::string& URLString);
// `URLString` resolved against `baseURL` ("" base: parsed alone); "" when unparsable.
std::string SDPURLStringRelativeToURL(const std::string& URLString, const std::string& baseURL);
// The path of a "file:" URL; nullopt for any other URL.
std::optional<std::string> SDPFilePathFromFileURL(const std::string& fileURL);
// The preferred MIME type for a file extension (without the dot); "" when unknown.
std::string SDPMIMETypeForPathExtension(const std::string& extension);

// The user's preferred languages, most preferred first.
std::vector<std::string> SDPPreferredLanguages();
// "<executable>/<version> (<device model>; iOS <system version>; Scale/<scale>)", reduced to
// ASCII by SDPTransliterateToASCII; "" when it cannot be made.
std::string SDPDefaultUserAgent();
// `text` (UTF-8) in ASCII: other scripts are transliterated to Latin ("中文" -> "zhong wen"),
// Latin letters lose their accents ("é" -> "e", "ß" -> "ss", "Æ" -> "AE"), typographic
// quotes and dashes become their ASCII forms, and what is still outside ASCII (emoji,
// malformed bytes) is removed. ASCII text is returned as it is.
std::string SDPTransliterateToASCII(const std::string& text);
