#include "platform/oslog/ASLStore.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "platform/oslog/Notify.h"

namespace plat {

namespace {

std::optional<long long> parseInteger(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  return v;
}

}  // namespace

bool ASLMessage::set(std::string key, std::string value) {
  if (key.empty()) return false;
  for (auto& e : entries_) {
    if (e.first == key) {
      e.second = std::move(value);
      return true;
    }
  }
  entries_.emplace_back(std::move(key), std::move(value));
  return true;
}

const std::string* ASLMessage::get(std::string_view key) const {
  for (const auto& e : entries_) {
    if (e.first == key) return &e.second;
  }
  return nullptr;
}

bool ASLQuery::setQuery(std::string key, std::string value, ASLQueryOp op) {
  if (key.empty()) return false;
  conditions_.push_back({std::move(key), std::move(value), op});
  return true;
}

bool ASLQuery::matches(const ASLMessage& message) const {
  for (const auto& c : conditions_) {
    const std::string* have = message.get(c.key);
    if (c.op == ASLQueryOp::NotEqual) {
      if (have && *have == c.value) return false;
      continue;
    }
    if (!have) return false;
    auto a = parseInteger(*have);
    auto b = parseInteger(c.value);
    if (!a || !b) return false;
    bool ok = false;
    switch (c.op) {
      case ASLQueryOp::NumericLessEqual:
        ok = *a <= *b;
        break;
      case ASLQueryOp::NumericGreater:
        ok = *a > *b;
        break;
      case ASLQueryOp::NumericGreaterEqual:
        ok = *a >= *b;
        break;
      case ASLQueryOp::NotEqual:
        break;
    }
    if (!ok) return false;
  }
  return true;
}

uint64_t ASLQuery::lowestMessageID() const {
  uint64_t lowest = 0;
  for (const auto& c : conditions_) {
    if (c.key != ASL_KEY_MSG_ID) continue;
    auto v = parseInteger(c.value);
    if (!v) continue;
    long long from = *v;
    if (c.op == ASLQueryOp::NumericGreater) {
      if (from == std::numeric_limits<long long>::max()) continue;
      ++from;
    } else if (c.op != ASLQueryOp::NumericGreaterEqual) {
      continue;
    }
    if (from > 0 && static_cast<uint64_t>(from) > lowest) lowest = static_cast<uint64_t>(from);
  }
  return lowest;
}

ASLStore& ASLStore::shared() {
  static auto* store = new ASLStore;
  return *store;
}

uint64_t ASLStore::save(ASLMessage message) {
  if (!message.get(ASL_KEY_TIME)) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    message.set(ASL_KEY_TIME, std::to_string(static_cast<long long>(ts.tv_sec)));
    message.set(ASL_KEY_TIME_NSEC, std::to_string(static_cast<long long>(ts.tv_nsec)));
  }
  uint64_t id;
  {
    std::lock_guard<std::mutex> lock(mu_);
    id = nextID_++;
    message.set(ASL_KEY_MSG_ID, std::to_string(id));
    auto saved = std::make_shared<const ASLMessage>(std::move(message));
    if (messages_.size() < kCapacity) {
      messages_.push_back(std::move(saved));
    } else {
      messages_[head_] = std::move(saved);
      head_ = (head_ + 1) % kCapacity;
    }
  }
  notify_post(kNotifyASLMessage);
  return id;
}

std::vector<ASLMessage> ASLStore::search(const ASLQuery& query) const {
  uint64_t lowest = query.lowestMessageID();
  std::vector<std::shared_ptr<const ASLMessage>> candidates;
  {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = messages_.size();
    // Ids are consecutive: the oldest stored message has id nextID_ - n, and the one with
    // id `lowest` sits that many places after it.
    uint64_t oldest = nextID_ - n;
    size_t skip = lowest > oldest ? static_cast<size_t>(std::min<uint64_t>(lowest - oldest, n)) : 0;
    candidates.reserve(n - skip);
    for (size_t i = skip; i < n; ++i) candidates.push_back(messages_[(head_ + i) % n]);
  }
  examined_.fetch_add(candidates.size(), std::memory_order_relaxed);
  std::vector<ASLMessage> found;
  for (const auto& m : candidates) {
    if (query.matches(*m)) found.push_back(*m);
  }
  return found;
}

uint64_t ASLStore::messagesExaminedForTesting() const {
  return examined_.load(std::memory_order_relaxed);
}

size_t ASLStore::count() const {
  std::lock_guard<std::mutex> lock(mu_);
  return messages_.size();
}

uint64_t ASLStore::lastMessageID() const {
  std::lock_guard<std::mutex> lock(mu_);
  return nextID_ - 1;
}

void ASLStore::resetForTesting() {
  std::lock_guard<std::mutex> lock(mu_);
  messages_.clear();
  head_ = 0;
  nextID_ = 1;
}

std::shared_ptr<ASLClient> ASLClient::open(std::string ident, std::string facility) {
  return std::shared_ptr<ASLClient>(new ASLClient(std::move(ident), std::move(facility)));
}

bool ASLClient::send(const ASLMessage& message) const {
  if (!message.get(ASL_KEY_MSG)) return false;
  ASLMessage copy = message;
  if (!copy.get(ASL_KEY_SENDER)) copy.set(ASL_KEY_SENDER, ident_);
  if (!copy.get(ASL_KEY_FACILITY)) copy.set(ASL_KEY_FACILITY, facility_);
  ASLStore::shared().save(std::move(copy));
  return true;
}

}  // namespace plat
