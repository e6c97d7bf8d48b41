#pragma once
// Internal glue between plat::Value and libplist, shared by the property-list serializer
// and the keyed archiver. Not part of the platform's interface; include only from .cpp
// files of platform/foundation. Thread-safe (no shared state).

#include <plist/plist.h>

#include <memory>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/Value.h"

namespace plat::plist_support {

struct NodeDeleter {
  void operator()(void* node) const {
    if (node) plist_free(static_cast<plist_t>(node));
  }
};
// An owned libplist node tree.
using Node = std::unique_ptr<void, NodeDeleter>;

// Parses binary or XML property-list bytes after checking nesting depth and (binary)
// reference expansion. Returns null with *why set when the bytes are neither format, are
// corrupt, or are unsafe to parse. *format receives the detected format.
Node parseNode(const Data& data, NSPropertyListSerialization::NSPropertyListFormat* format,
               std::string* why);
// Whether the bytes look like a binary or XML property list (not the text format).
bool looksLikeBinaryOrXML(const Data& data);

// Builds a node tree for value. Returns null with *why set for a kind with no
// property-list form (see NSPropertyListSerialization.h). With wholeSeconds (the XML form)
// dates keep only their whole seconds, rounded down.
Node nodeFromValue(const Value& value, std::string* why, bool wholeSeconds = false);
// Whether text can be stored: libplist takes C strings and converts UTF-8 to UTF-16 for the
// binary form, so a NUL would cut the text short and invalid UTF-8 comes out garbled.
// False with *why set otherwise.
bool textOK(const std::string& text, std::string* why);

// Converts a parsed tree to a Value. UIDs become {"CF$UID": n}.
Value valueFromNode(plist_t node);

// Serializes a node tree.
Data serializeNode(plist_t node, bool binary);

// Date conversion between NSDate and libplist's (seconds, microseconds) since 2001.
// dateToPlist returns false when the seconds do not fit in 32 bits.
bool dateToPlist(const NSDate& date, int32_t* sec, int32_t* usec);
NSDate dateFromPlist(int32_t sec, int32_t usec);

}  // namespace plat::plist_support
