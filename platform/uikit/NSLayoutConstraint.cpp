#include "platform/uikit/NSLayoutConstraint.h"

#include <cctype>
#include <cstdlib>

#include "platform/foundation/Value.h"
#include "platform/uikit/UIView.h"

namespace plat {

NSLayoutConstraintRef NSLayoutConstraint::constraintWithItem(
    const std::shared_ptr<UIView>& first, NSLayoutAttribute attr1, NSLayoutRelation relation,
    const std::shared_ptr<UIView>& second, NSLayoutAttribute attr2, double multiplier,
    double constant) {
  auto c = std::make_shared<NSLayoutConstraint>();
  c->first_ = first;
  c->second_ = second;
  c->attr1_ = attr1;
  c->attr2_ = second ? attr2 : NSLayoutAttributeNotAnAttribute;
  c->relation_ = relation;
  c->multiplier_ = multiplier;
  c->constant_ = constant;
  return c;
}

namespace {
struct Predicate {
  NSLayoutRelation relation = NSLayoutRelationEqual;
  double constant = 8;
  UILayoutPriority priority = UILayoutPriorityRequired;
};

bool parsePredicate(const std::string& text, const std::map<std::string, double>& metrics,
                    Predicate* out) {
  std::string s = text;
  if (!s.empty() && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
  if (s.rfind(">=", 0) == 0) {
    out->relation = NSLayoutRelationGreaterThanOrEqual;
    s = s.substr(2);
  } else if (s.rfind("<=", 0) == 0) {
    out->relation = NSLayoutRelationLessThanOrEqual;
    s = s.substr(2);
  } else if (s.rfind("==", 0) == 0) {
    s = s.substr(2);
  }
  std::string prio;
  if (auto at = s.find('@'); at != std::string::npos) {
    prio = s.substr(at + 1);
    s = s.substr(0, at);
  }
  auto value = [&](const std::string& v, double* d) {
    if (v.empty()) return false;
    if (std::isdigit(static_cast<unsigned char>(v[0])) || v[0] == '-' || v[0] == '.') {
      char* end = nullptr;
      *d = std::strtod(v.c_str(), &end);
      return end && *end == 0;
    }
    auto it = metrics.find(v);
    if (it == metrics.end()) return false;
    *d = it->second;
    return true;
  };
  if (!value(s, &out->constant)) return false;
  if (!prio.empty()) {
    double p;
    if (!value(prio, &p)) return false;
    out->priority = static_cast<UILayoutPriority>(p);
  }
  return true;
}
}  // namespace

std::vector<NSLayoutConstraintRef> NSLayoutConstraint::constraintsWithVisualFormat(
    const std::string& format, const std::map<std::string, double>& metrics,
    const std::map<std::string, std::shared_ptr<UIView>>& views) {
  std::vector<NSLayoutConstraintRef> out;
  std::string f = format;
  bool vertical = false;
  if (f.rfind("V:", 0) == 0) {
    vertical = true;
    f = f.substr(2);
  } else if (f.rfind("H:", 0) == 0) {
    f = f.substr(2);
  }
  NSLayoutAttribute lead = vertical ? NSLayoutAttributeTop : NSLayoutAttributeLeading;
  NSLayoutAttribute trail = vertical ? NSLayoutAttributeBottom : NSLayoutAttributeTrailing;
  // Tokens: '|', "[name]", connections between them.
  std::shared_ptr<UIView> previous;  // null with prevIsSuper: the superview edge
  bool prevIsSuper = false, havePrev = false;
  std::optional<Predicate> pending;
  size_t i = 0;
  auto superOf = [](const std::shared_ptr<UIView>& v) { return v ? v->superview() : nullptr; };
  while (i < f.size()) {
    char ch = f[i];
    if (ch == '|') {
      if (havePrev && !prevIsSuper && pending) {
        auto c = constraintWithItem(superOf(previous), trail, pending->relation, previous, trail,
                                    1, pending->constant);
        c->setPriority(pending->priority);
        out.push_back(c);
      }
      prevIsSuper = true;
      havePrev = true;
      pending.reset();
      ++i;
    } else if (ch == '[') {
      size_t end = f.find(']', i);
      if (end == std::string::npos) return {};
      std::string name = f.substr(i + 1, end - i - 1);
      auto it = views.find(name);
      if (it == views.end() || !it->second) return {};
      auto view = it->second;
      if (havePrev && pending) {
        NSLayoutConstraintRef c;
        if (prevIsSuper)
          c = constraintWithItem(view, lead, pending->relation, superOf(view), lead, 1,
                                 pending->constant);
        else
          c = constraintWithItem(view, lead, pending->relation, previous, trail, 1,
                                 pending->constant);
        c->setPriority(pending->priority);
        out.push_back(c);
      }
      previous = view;
      prevIsSuper = false;
      havePrev = true;
      pending.reset();
      i = end + 1;
    } else if (ch == '-') {
      size_t j = i + 1;
      size_t next = f.find_first_of("|[", j);
      if (next == std::string::npos) return {};
      std::string inner = f.substr(j, next - j);
      Predicate p;
      if (inner.empty()) {
        p.constant = 8;
      } else {
        if (inner.back() != '-') return {};
        inner.pop_back();
        if (!parsePredicate(inner, metrics, &p)) return {};
      }
      pending = p;
      i = next;
    } else if (std::isspace(static_cast<unsigned char>(ch))) {
      ++i;
    } else {
      return {};
    }
  }
  return out;
}

std::string NSLayoutConstraint::description() const {
  static const char* names[] = {"notAnAttribute", "left",     "right",   "top",
                                "bottom",         "leading",  "trailing", "width",
                                "height",         "centerX",  "centerY"};
  auto nm = [](NSLayoutAttribute a) { return (a >= 0 && a <= 10) ? names[a] : "?"; };
  std::string rel = relation_ == NSLayoutRelationEqual                ? " == "
                    : relation_ == NSLayoutRelationGreaterThanOrEqual ? " >= "
                                                                      : " <= ";
  std::string s = "<NSLayoutConstraint " + std::string(nm(attr1_)) + rel;
  if (second_.lock()) s += std::string(nm(attr2_)) + " * " + Value(multiplier_).description() + " + ";
  s += Value(constant_).description() + " @" + Value(double(priority_)).description() + ">";
  return s;
}

}  // namespace plat
