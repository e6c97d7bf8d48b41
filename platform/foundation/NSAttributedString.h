#pragma once
// NSAttributedString / NSMutableAttributedString: text with named attributes over runs of
// it. Positions and ranges count UTF-16 code units of the UTF-8 text, as the platform counts
// them. Attribute values are plat::Values; object values compare by identity, so two runs
// carrying distinct objects stay distinct runs.
//
// Ranges outside the text are refused with a log: the query answers nil / an empty result
// and a mutation changes nothing (returning false), where the platform would raise.
//
// Plain values (copying copies the text and runs). Not synchronized.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/foundation/NSRange.h"
#include "platform/foundation/Value.h"

namespace plat {

using NSAttributes = std::map<std::string, Value>;

class NSAttributedString {
 public:
  NSAttributedString() = default;
  explicit NSAttributedString(const std::string& text, const NSAttributes& attributes = {});
  virtual ~NSAttributedString() = default;

  std::string string() const;
  uint64_t length() const { return text_.size(); }
  const std::u16string& utf16() const { return text_; }

  // The attributes at `index` and, when given, the whole run that has exactly them.
  // An index at or past the end is refused: empty attributes and *effective {NSNotFound, 0}.
  NSAttributes attributesAtIndexEffectiveRange(uint64_t index, NSRange* effective = nullptr) const;
  // The value of one attribute at `index` (nil when absent) and the longest range around the
  // index with that same value (or without the attribute).
  Value attributeAtIndexEffectiveRange(const std::string& name, uint64_t index,
                                       NSRange* effective = nullptr) const;
  // Calls block for each stretch of `range` over which the attribute has one value (nil where
  // it is absent), in forward order, with the stretch clipped to `range`. Setting *stop ends
  // the enumeration. A range outside the text enumerates nothing.
  void enumerateAttributeInRangeUsingBlock(
      const std::string& name, NSRange range,
      const std::function<void(const Value& value, NSRange range, bool* stop)>& block) const;
  // The characters and attributes of the range; empty when the range is outside the text.
  NSAttributedString attributedSubstringFromRange(NSRange range) const;
  // The UTF-8 text of a UTF-16 range (a cut surrogate pair becomes U+FFFD).
  std::string substringWithRange(NSRange range) const;

  bool isEqualToAttributedString(const NSAttributedString& other) const;
  bool operator==(const NSAttributedString& other) const { return isEqualToAttributedString(other); }

  // One run: a length and its attributes. Adjacent runs always differ.
  struct Run {
    uint64_t length = 0;
    NSAttributes attributes;
  };
  const std::vector<Run>& runs() const { return runs_; }

 protected:
  // Logs and returns false when the range does not fit the text.
  bool checkRange(NSRange range, const char* operation) const;
  // Splits runs so that `offset` is a run boundary; returns the index of the run starting there.
  size_t splitAt(uint64_t offset);
  void coalesce();

  std::u16string text_;
  std::vector<Run> runs_;
};

class NSMutableAttributedString : public NSAttributedString {
 public:
  using NSAttributedString::NSAttributedString;
  NSMutableAttributedString(const NSAttributedString& other) : NSAttributedString(other) {}

  bool addAttributeValueRange(const std::string& name, const Value& value, NSRange range);
  bool addAttributesRange(const NSAttributes& attributes, NSRange range);
  bool setAttributesRange(const NSAttributes& attributes, NSRange range);
  bool removeAttributeRange(const std::string& name, NSRange range);
  // Replaced characters take the attributes of the first replaced character, or, for an
  // insertion, of the character before it (the first character's when inserting at 0).
  bool replaceCharactersInRangeWithString(NSRange range, const std::string& text);
  bool replaceCharactersInRangeWithAttributedString(NSRange range,
                                                    const NSAttributedString& text);
  bool insertAttributedStringAtIndex(const NSAttributedString& text, uint64_t index);
  void appendAttributedString(const NSAttributedString& text);
  bool deleteCharactersInRange(NSRange range);
  void setAttributedString(const NSAttributedString& text) {
    static_cast<NSAttributedString&>(*this) = text;
  }
};

}  // namespace plat
