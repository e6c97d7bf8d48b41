#pragma once
// Internal reading and writing of the XML and binary property-list forms, shared by the
// property-list serializer and the keyed archiver. Not part of the platform's interface;
// include only from .cpp files of platform/foundation. Thread-safe (no shared state).
//
// The forms are read and written here rather than through libplist, whose interface carries
// dates as 32-bit seconds and integers as 64 bits: every date of years 0 to 9999 and every
// 128-bit integer of the binary form pass whole.

#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/NSPropertyListSerialization.h"
#include "platform/foundation/Value.h"

namespace plat::plist_support {

// Whether the bytes look like a binary or XML property list (not the text format).
bool looksLikeBinaryOrXML(const Data& data);

// Parses binary or XML property-list bytes. More than kMaxDepth nested containers and
// (binary) shared references expanding past kMaxNodes values, or past 64 MiB plus four times
// the input in text and data, are refused before anything is built.
// Integers beyond the 64-bit range read as decimal numbers, unsigned 64-bit ones above
// INT64_MAX as unsigned integers; UIDs read as {"CF$UID": n}. Returns nil with *why set when
// the bytes are neither form, are corrupt, or are unsafe to read. *format receives the
// detected form.
Value parse(const Data& data, NSPropertyListSerialization::NSPropertyListFormat* format,
            std::string* why);

// Writes value in the binary or XML form. Nullopt with *why set for more than kMaxDepth nested
// containers, a kind with no property-list form (see NSPropertyListSerialization.h), a
// decimal number the form cannot hold (binary: beyond 128 bits), text XML 1.0 cannot hold, or
// a date outside years 0 to 9999. XML dates keep their whole seconds, rounded down. With uids
// (keyed archives), a dictionary holding only "CF$UID" with an integer is written as a UID in
// the binary form.
std::optional<Data> serialize(const Value& value, bool binary, std::string* why, bool uids = false);

// A keyed archive's reference to object `uid`: {"CF$UID": uid}, as UIDs read.
Value uidValue(uint64_t uid);
// The object a reference {"CF$UID": n} stands for; false for any other value.
bool uidOf(const Value& v, uint64_t* uid);

// Whether a keyed archive's date time (seconds since 2001, as "NS.time" holds it) names a
// date exactly as NSDate keeps it: at most 2^53 seconds either side of 1970, the far dates
// that dates made from an interval saturate to included. False for NaN.
bool archivedTimeInRange(double seconds);

// Whether text can be stored: a NUL would be cut short by other readers and invalid UTF-8
// has no form. False with *why set otherwise.
bool textOK(const std::string& text, std::string* why);

}  // namespace plat::plist_support
