#pragma once
// MIME types of file extensions (the platform's type registry's preferred MIME type), from
// /etc/mime.types when readable, with a built-in table for the common types as fallback.
// Thread-safe; the file is read once.

#include <optional>
#include <string>
#include <string_view>

namespace plat {

// The MIME type for a file extension (without the dot, any letter case): "png" ->
// "image/png". nullopt for an empty or unknown extension.
std::optional<std::string> MIMETypeForPathExtension(std::string_view extension);

}  // namespace plat
