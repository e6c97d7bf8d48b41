#include "platform/foundation/NSAttributedString.h"

#include <algorithm>

#include "platform/foundation/NSLog.h"
#include "platform/foundation/UTF16.h"

namespace plat {

NSAttributedString::NSAttributedString(const std::string& text, const NSAttributes& attributes)
    : text_(toUTF16(text)) {
  if (!text_.empty()) runs_.push_back({text_.size(), attributes});
}

std::string NSAttributedString::string() const { return fromUTF16(text_); }

bool NSAttributedString::checkRange(NSRange range, const char* operation) const {
  if (NSRangeFitsLength(range, text_.size())) return true;
  NSLog("%s: range {%llu, %llu} out of bounds; string length %llu", operation,
        (unsigned long long)range.location, (unsigned long long)range.length,
        (unsigned long long)text_.size());
  return false;
}

NSAttributes NSAttributedString::attributesAtIndexEffectiveRange(uint64_t index,
                                                                 NSRange* effective) const {
  if (index >= text_.size()) {
    checkRange({index, 1}, "attributesAtIndex:effectiveRange:");
    if (effective) *effective = {NSNotFound, 0};
    return {};
  }
  uint64_t start = 0;
  for (auto& run : runs_) {
    if (index < start + run.length) {
      if (effective) *effective = {start, run.length};
      return run.attributes;
    }
    start += run.length;
  }
  return {};
}

Value NSAttributedString::attributeAtIndexEffectiveRange(const std::string& name, uint64_t index,
                                                         NSRange* effective) const {
  if (index >= text_.size()) {
    checkRange({index, 1}, "attribute:atIndex:effectiveRange:");
    if (effective) *effective = {NSNotFound, 0};
    return {};
  }
  auto valueOf = [&](const Run& run) {
    auto it = run.attributes.find(name);
    return it == run.attributes.end() ? Value() : it->second;
  };
  size_t i = 0;
  uint64_t start = 0;
  while (index >= start + runs_[i].length) start += runs_[i++].length;
  Value value = valueOf(runs_[i]);
  if (effective) {
    uint64_t lo = start, hi = start + runs_[i].length;
    for (size_t j = i; j > 0 && valueOf(runs_[j - 1]) == value; --j) lo -= runs_[j - 1].length;
    for (size_t j = i + 1; j < runs_.size() && valueOf(runs_[j]) == value; ++j)
      hi += runs_[j].length;
    *effective = {lo, hi - lo};
  }
  return value;
}

void NSAttributedString::enumerateAttributeInRangeUsingBlock(
    const std::string& name, NSRange range,
    const std::function<void(const Value&, NSRange, bool*)>& block) const {
  if (!checkRange(range, "enumerateAttribute:inRange:options:usingBlock:")) return;
  uint64_t end = NSMaxRange(range), position = range.location;
  while (position < end) {
    NSRange effective;
    Value value = attributeAtIndexEffectiveRange(name, position, &effective);
    uint64_t stretchEnd = std::min(end, NSMaxRange(effective));
    bool stop = false;
    block(value, {position, stretchEnd - position}, &stop);
    if (stop) return;
    position = stretchEnd;
  }
}

NSAttributedString NSAttributedString::attributedSubstringFromRange(NSRange range) const {
  NSAttributedString result;
  if (!checkRange(range, "attributedSubstringFromRange:")) return result;
  result.text_ = text_.substr(range.location, range.length);
  uint64_t start = 0, end = NSMaxRange(range);
  for (auto& run : runs_) {
    uint64_t lo = std::max(start, range.location), hi = std::min(start + run.length, end);
    if (lo < hi) result.runs_.push_back({hi - lo, run.attributes});
    start += run.length;
  }
  result.coalesce();
  return result;
}

std::string NSAttributedString::substringWithRange(NSRange range) const {
  if (!checkRange(range, "substringWithRange:")) return {};
  return fromUTF16(std::u16string_view(text_).substr(range.location, range.length));
}

bool NSAttributedString::isEqualToAttributedString(const NSAttributedString& other) const {
  if (text_ != other.text_ || runs_.size() != other.runs_.size()) return false;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const Run &a = runs_[i], &b = other.runs_[i];
    if (a.length != b.length || a.attributes.size() != b.attributes.size()) return false;
    for (auto& [key, value] : a.attributes) {
      auto it = b.attributes.find(key);
      if (it == b.attributes.end() || !(it->second == value)) return false;
    }
  }
  return true;
}

size_t NSAttributedString::splitAt(uint64_t offset) {
  uint64_t start = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    if (offset == start) return i;
    if (offset < start + runs_[i].length) {
      Run tail{start + runs_[i].length - offset, runs_[i].attributes};
      runs_[i].length = offset - start;
      runs_.insert(runs_.begin() + i + 1, std::move(tail));
      return i + 1;
    }
    start += runs_[i].length;
  }
  return runs_.size();
}

static bool sameAttributes(const NSAttributes& a, const NSAttributes& b) {
  if (a.size() != b.size()) return false;
  for (auto& [key, value] : a) {
    auto it = b.find(key);
    if (it == b.end() || !(it->second == value)) return false;
  }
  return true;
}

void NSAttributedString::coalesce() {
  std::vector<Run> merged;
  for (auto& run : runs_) {
    if (run.length == 0) continue;
    if (!merged.empty() && sameAttributes(merged.back().attributes, run.attributes))
      merged.back().length += run.length;
    else
      merged.push_back(std::move(run));
  }
  runs_ = std::move(merged);
}

// ---- Mutable ----

namespace {
template <class F>
void editRuns(std::vector<NSAttributedString::Run>& runs, size_t first, size_t last, F&& edit) {
  for (size_t i = first; i < last; ++i) edit(runs[i].attributes);
}
}  // namespace

bool NSMutableAttributedString::addAttributeValueRange(const std::string& name, const Value& value,
                                                       NSRange range) {
  return addAttributesRange({{name, value}}, range);
}

bool NSMutableAttributedString::addAttributesRange(const NSAttributes& attributes, NSRange range) {
  if (!checkRange(range, "addAttributes:range:")) return false;
  if (range.length == 0) return true;
  size_t first = splitAt(range.location), last = splitAt(NSMaxRange(range));
  editRuns(runs_, first, last, [&](NSAttributes& a) {
    for (auto& [key, value] : attributes) a[key] = value;
  });
  coalesce();
  return true;
}

bool NSMutableAttributedString::setAttributesRange(const NSAttributes& attributes, NSRange range) {
  if (!checkRange(range, "setAttributes:range:")) return false;
  if (range.length == 0) return true;
  size_t first = splitAt(range.location), last = splitAt(NSMaxRange(range));
  editRuns(runs_, first, last, [&](NSAttributes& a) { a = attributes; });
  coalesce();
  return true;
}

bool NSMutableAttributedString::removeAttributeRange(const std::string& name, NSRange range) {
  if (!checkRange(range, "removeAttribute:range:")) return false;
  if (range.length == 0) return true;
  size_t first = splitAt(range.location), last = splitAt(NSMaxRange(range));
  editRuns(runs_, first, last, [&](NSAttributes& a) { a.erase(name); });
  coalesce();
  return true;
}

bool NSMutableAttributedString::replaceCharactersInRangeWithString(NSRange range,
                                                                   const std::string& text) {
  if (!checkRange(range, "replaceCharactersInRange:withString:")) return false;
  NSAttributes attributes;
  if (!text_.empty()) {
    uint64_t from = range.length > 0 || range.location == 0 ? range.location : range.location - 1;
    if (from < text_.size()) attributes = attributesAtIndexEffectiveRange(from);
  }
  return replaceCharactersInRangeWithAttributedString(range, NSAttributedString(text, attributes));
}

bool NSMutableAttributedString::replaceCharactersInRangeWithAttributedString(
    NSRange range, const NSAttributedString& text) {
  if (!checkRange(range, "replaceCharactersInRange:withAttributedString:")) return false;
  size_t first = splitAt(range.location), last = splitAt(NSMaxRange(range));
  runs_.erase(runs_.begin() + first, runs_.begin() + last);
  runs_.insert(runs_.begin() + first, text.runs().begin(), text.runs().end());
  text_.replace(range.location, range.length, text.utf16());
  coalesce();
  return true;
}

bool NSMutableAttributedString::insertAttributedStringAtIndex(const NSAttributedString& text,
                                                              uint64_t index) {
  return replaceCharactersInRangeWithAttributedString({index, 0}, text);
}

void NSMutableAttributedString::appendAttributedString(const NSAttributedString& text) {
  replaceCharactersInRangeWithAttributedString({text_.size(), 0}, text);
}

bool NSMutableAttributedString::deleteCharactersInRange(NSRange range) {
  return replaceCharactersInRangeWithAttributedString(range, NSAttributedString());
}

}  // namespace plat
