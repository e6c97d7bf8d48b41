// Key-value observing: announced keys and the keys that depend on them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/NSKeyValueObserving.h"

namespace {

// "fullName" depends on "first" and "last"; "label" depends on "fullName"; "a" and "b"
// depend on each other.
class Person : public plat::NSKeyValueObservable {
 public:
  std::set<std::string> keyPathsAffectingValueForKey(const std::string& key) const override {
    if (key == "fullName") return {"first", "last"};
    if (key == "label") return {"fullName"};
    if (key == "a") return {"b"};
    if (key == "b") return {"a"};
    return {};
  }
  void setFirst() {
    willChangeValueForKey("first");
    didChangeValueForKey("first");
  }
  using NSKeyValueObservable::didChangeValueForKey;
};

}  // namespace

TEST(KeyValueObserving, ObserversOfDependentKeysHearTheirKeysChange) {
  Person person;
  std::vector<std::string> heard;
  auto observe = [&](const std::string& key) {
    return person.addObserverForKeyPath(key,
                                        [&heard](const std::string& k) { heard.push_back(k); });
  };
  auto full = observe("fullName");
  auto label = observe("label");
  auto first = observe("first");
  auto other = observe("age");

  person.setFirst();
  EXPECT_EQ(heard, (std::vector<std::string>{"fullName", "label", "first"}));

  heard.clear();
  person.removeObserverForKeyPath(label);
  person.didChangeValueForKey("last");
  EXPECT_EQ(heard, (std::vector<std::string>{"fullName"}));

  // Keys that depend on each other end the walk; an unrelated key is not told.
  heard.clear();
  auto a = observe("a");
  person.didChangeValueForKey("b");
  person.didChangeValueForKey("c");
  EXPECT_EQ(heard, (std::vector<std::string>{"a"}));
  EXPECT_TRUE(plat::NSKeyValueObservable::automaticallyNotifiesObserversForKey("first"));

  for (const auto& token : {full, first, other, a}) person.removeObserverForKeyPath(token);
}
