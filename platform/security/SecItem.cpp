#include "platform/security/SecItem.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <optional>
#include <vector>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSLog.h"

namespace plat {

namespace {

// Text attributes kept in columns of their own, in column order.
constexpr const char* kTextAttributes[] = {kSecAttrService, kSecAttrAccount,  kSecAttrAccessGroup,
                                           kSecAttrServer,  kSecAttrProtocol,
                                           kSecAttrAuthenticationType,
                                           kSecAttrPath,    kSecAttrLabel,    kSecAttrComment};
constexpr size_t kTextCount = sizeof(kTextAttributes) / sizeof(kTextAttributes[0]);

constexpr const char* kAccessibleValues[] = {
    kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock,
    kSecAttrAccessibleAlways,       kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
    kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
    kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly,
    kSecAttrAccessibleAlwaysThisDeviceOnly};

bool isAccessibleValue(const std::string& s) {
  for (auto* a : kAccessibleValues)
    if (s == a) return true;
  return false;
}

bool needsUnlock(const std::string& accessible) {
  return accessible == kSecAttrAccessibleWhenUnlocked ||
         accessible == kSecAttrAccessibleWhenUnlockedThisDeviceOnly ||
         accessible == kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly;
}

struct Item {
  int64_t id = 0;
  std::string cls;
  std::optional<std::string> text[kTextCount];
  std::optional<int64_t> port;
  std::optional<Data> generic;
  std::string accessible = kSecAttrAccessibleWhenUnlocked;
  int64_t accessFlags = 0;
  bool sync = false;
  std::optional<Data> data;
  double created = 0;
  double modified = 0;
};

// Attributes read from a caller's dictionary (an add, a query or an update).
struct Attributes {
  std::optional<std::string> cls;
  std::optional<std::string> text[kTextCount];
  std::optional<int64_t> port;
  std::optional<Data> generic;
  std::optional<std::string> accessible;
  std::optional<int64_t> accessFlags;
  enum class Sync { Unset, No, Yes, Any } sync = Sync::Unset;
  std::optional<Data> data;
};

struct State {
  std::mutex mu;
  bool locked = false;
};
State& state() {
  static auto* s = new State();
  return *s;
}

// Whether a text attribute can be kept whole: a NUL byte inside would make "a\0b" another
// spelling of "a" wherever the text is cut at its NUL.
bool validText(const Value& value) {
  return value.isString() && value.string()->find('\0') == std::string::npos;
}

// Reads the attributes of `dict`. Returns errSecParam for a value of the wrong kind and for a
// text attribute holding a NUL byte.
OSStatus parseAttributes(const Dictionary& dict, Attributes* out) {
  for (const auto& [key, value] : dict) {
    if (value.isNil()) continue;
    if (key == kSecClass) {
      if (!validText(value)) return errSecParam;
      out->cls = *value.string();
      continue;
    }
    bool handled = false;
    for (size_t i = 0; i < kTextCount; ++i) {
      if (key == kTextAttributes[i]) {
        if (!validText(value)) return errSecParam;
        out->text[i] = *value.string();
        handled = true;
      }
    }
    if (handled) continue;
    if (key == kSecAttrPort) {
      if (!value.isNumber()) return errSecParam;
      out->port = value.integerValue();
    } else if (key == kSecAttrGeneric) {
      if (value.isData()) {
        out->generic = *value.data();
      } else if (value.isString()) {
        out->generic = Data::fromString(*value.string());
      } else {
        return errSecParam;
      }
    } else if (key == kSecAttrAccessible) {
      if (!value.isString() || !isAccessibleValue(*value.string())) return errSecParam;
      out->accessible = *value.string();
    } else if (key == kSecAttrAccessControl) {
      auto ac = value.objectAs<SecAccessControl>();
      if (!ac) return errSecParam;
      out->accessible = ac->protection();
      out->accessFlags = static_cast<int64_t>(ac->flags());
    } else if (key == kSecAttrSynchronizable) {
      if (value.isString() && *value.string() == kSecAttrSynchronizableAny) {
        out->sync = Attributes::Sync::Any;
      } else if (value.isBool() || value.isNumber()) {
        out->sync = value.boolValue() ? Attributes::Sync::Yes : Attributes::Sync::No;
      } else {
        return errSecParam;
      }
    } else if (key == kSecValueData) {
      if (!value.isData()) return errSecParam;
      out->data = *value.data();
    }
    // Return, match and use keys are read by the callers; other keys are ignored.
  }
  return errSecSuccess;
}

OSStatus checkClass(const std::optional<std::string>& cls) {
  if (!cls) return errSecParam;
  if (*cls == kSecClassGenericPassword || *cls == kSecClassInternetPassword) return errSecSuccess;
  if (*cls == "keys" || *cls == "cert" || *cls == "idnt") return errSecUnimplemented;
  return errSecParam;
}

bool matches(const Item& item, const Attributes& q) {
  if (q.cls && *q.cls != item.cls) return false;
  for (size_t i = 0; i < kTextCount; ++i) {
    if (q.text[i] && item.text[i].value_or("") != *q.text[i]) return false;
  }
  if (q.port && item.port.value_or(0) != *q.port) return false;
  if (q.generic && !(item.generic.value_or(Data()) == *q.generic)) return false;
  if (q.accessible && item.accessible != *q.accessible) return false;
  switch (q.sync) {
    case Attributes::Sync::Unset:
    case Attributes::Sync::No:
      if (item.sync) return false;
      break;
    case Attributes::Sync::Yes:
      if (!item.sync) return false;
      break;
    case Attributes::Sync::Any:
      break;
  }
  return true;
}

bool isDuplicate(const Item& a, const Item& b) {
  if (a.cls != b.cls || a.sync != b.sync) return false;
  auto same = [&](const char* attr) {
    for (size_t i = 0; i < kTextCount; ++i)
      if (kTextAttributes[i] == attr) return a.text[i].value_or("") == b.text[i].value_or("");
    return true;
  };
  if (!same(kSecAttrAccount) || !same(kSecAttrAccessGroup)) return false;
  if (a.cls == kSecClassGenericPassword) return same(kSecAttrService);
  return same(kSecAttrServer) && same(kSecAttrProtocol) && same(kSecAttrAuthenticationType) &&
         same(kSecAttrPath) && a.port.value_or(0) == b.port.value_or(0);
}

void apply(Item* item, const Attributes& a) {
  for (size_t i = 0; i < kTextCount; ++i)
    if (a.text[i]) item->text[i] = a.text[i];
  if (a.port) item->port = a.port;
  if (a.generic) item->generic = a.generic;
  if (a.accessible) item->accessible = *a.accessible;
  if (a.accessFlags) item->accessFlags = *a.accessFlags;
  if (a.sync == Attributes::Sync::Yes) item->sync = true;
  if (a.sync == Attributes::Sync::No) item->sync = false;
  if (a.data) item->data = a.data;
}

Dictionary attributesOf(const Item& item, bool withData) {
  Dictionary d;
  d.set(kSecClass, item.cls);
  for (size_t i = 0; i < kTextCount; ++i)
    if (item.text[i]) d.set(kTextAttributes[i], *item.text[i]);
  if (item.port) d.set(kSecAttrPort, *item.port);
  if (item.generic) d.set(kSecAttrGeneric, *item.generic);
  d.set(kSecAttrAccessible, item.accessible);
  d.set(kSecAttrSynchronizable, item.sync);
  d.set(kSecAttrCreationDate, NSDate::dateWithTimeIntervalSince1970(item.created));
  d.set(kSecAttrModificationDate, NSDate::dateWithTimeIntervalSince1970(item.modified));
  if (withData && item.data) d.set(kSecValueData, *item.data);
  return d;
}

// ---- Storage ----

class Database {
 public:
  ~Database() {
    if (db_) sqlite3_close(db_);
  }
  // Opens (creating) the file of the current device root.
  OSStatus open() {
    std::string path = keychainDatabasePath();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) {
        NSLog("keychain: %@ is not a regular file", path);
        return errSecIO;
      }
    } else {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0 && errno != EEXIST) return errSecIO;
      if (fd >= 0) ::close(fd);
    }
    chmod(path.c_str(), 0600);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
      return errSecIO;
    }
    sqlite3_busy_timeout(db_, 5000);
    if (!exec(
            "CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, cls TEXT NOT NULL,"
            " svce TEXT, acct TEXT, agrp TEXT, srvr TEXT, ptcl TEXT, atyp TEXT, path TEXT,"
            " labl TEXT, icmt TEXT, port INTEGER, gena BLOB, pdmn TEXT NOT NULL,"
            " acfl INTEGER NOT NULL, sync INTEGER NOT NULL, data BLOB, cdat REAL, mdat REAL)")) {
      return errSecIO;
    }
    return errSecSuccess;
  }
  bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  bool load(const std::string& cls, std::vector<Item>* out) {
    sqlite3_stmt* st = nullptr;
    const char* sql =
        "SELECT id, cls, svce, acct, agrp, srvr, ptcl, atyp, path, labl, icmt, port, gena, pdmn,"
        " acfl, sync, data, cdat, mdat FROM items WHERE cls = ? ORDER BY id";
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return false;
    bindText(st, 1, cls);
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      Item it;
      it.id = sqlite3_column_int64(st, 0);
      it.cls = text(st, 1).value_or("");
      for (size_t i = 0; i < kTextCount; ++i) it.text[i] = text(st, 2 + static_cast<int>(i));
      if (sqlite3_column_type(st, 11) != SQLITE_NULL) it.port = sqlite3_column_int64(st, 11);
      it.generic = blob(st, 12);
      it.accessible = text(st, 13).value_or(kSecAttrAccessibleWhenUnlocked);
      it.accessFlags = sqlite3_column_int64(st, 14);
      it.sync = sqlite3_column_int64(st, 15) != 0;
      it.data = blob(st, 16);
      it.created = sqlite3_column_double(st, 17);
      it.modified = sqlite3_column_double(st, 18);
      out->push_back(std::move(it));
    }
    sqlite3_finalize(st);
    return rc == SQLITE_DONE;
  }

  // Inserts (id 0) or replaces the item.
  bool store(const Item& it) {
    sqlite3_stmt* st = nullptr;
    const char* sql =
        it.id ? "UPDATE items SET cls=?1, svce=?2, acct=?3, agrp=?4, srvr=?5, ptcl=?6, atyp=?7,"
                " path=?8, labl=?9, icmt=?10, port=?11, gena=?12, pdmn=?13, acfl=?14, sync=?15,"
                " data=?16, cdat=?17, mdat=?18 WHERE id=?19"
              : "INSERT INTO items(cls, svce, acct, agrp, srvr, ptcl, atyp, path, labl, icmt,"
                " port, gena, pdmn, acfl, sync, data, cdat, mdat)"
                " VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)";
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return false;
    bindText(st, 1, it.cls);
    for (size_t i = 0; i < kTextCount; ++i) {
      int idx = 2 + static_cast<int>(i);
      if (it.text[i]) {
        bindText(st, idx, *it.text[i]);
      } else {
        sqlite3_bind_null(st, idx);
      }
    }
    if (it.port) {
      sqlite3_bind_int64(st, 11, *it.port);
    } else {
      sqlite3_bind_null(st, 11);
    }
    bindBlob(st, 12, it.generic);
    bindText(st, 13, it.accessible);
    sqlite3_bind_int64(st, 14, it.accessFlags);
    sqlite3_bind_int64(st, 15, it.sync ? 1 : 0);
    bindBlob(st, 16, it.data);
    sqlite3_bind_double(st, 17, it.created);
    sqlite3_bind_double(st, 18, it.modified);
    if (it.id) sqlite3_bind_int64(st, 19, it.id);
    bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok;
  }

  bool remove(int64_t id) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, "DELETE FROM items WHERE id = ?", -1, &st, nullptr) != SQLITE_OK)
      return false;
    sqlite3_bind_int64(st, 1, id);
    bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok;
  }

 private:
  static std::optional<std::string> text(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) return std::nullopt;
    auto p = reinterpret_cast<const char*>(sqlite3_column_text(st, col));
    return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, col)));
  }
  static std::optional<Data> blob(sqlite3_stmt* st, int col) {
    if (sqlite3_column_type(st, col) == SQLITE_NULL) return std::nullopt;
    const void* p = sqlite3_column_blob(st, col);
    int n = sqlite3_column_bytes(st, col);
    return Data(p, static_cast<size_t>(n));
  }
  // Texts are bound with their length, never up to a NUL.
  static void bindText(sqlite3_stmt* st, int idx, const std::string& text) {
    sqlite3_bind_text(st, idx, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  }
  static void bindBlob(sqlite3_stmt* st, int idx, const std::optional<Data>& d) {
    if (!d) {
      sqlite3_bind_null(st, idx);
    } else {
      // A zero-length blob must not bind as NULL: empty data is still data.
      sqlite3_bind_blob(st, idx, d->length() ? static_cast<const void*>(d->bytes()) : "",static_cast<int>(d->length()),
                        SQLITE_TRANSIENT);
    }
  }
  sqlite3* db_ = nullptr;
};

// Runs `body` inside one transaction of a freshly opened database, under the keychain lock.
template <class F>
OSStatus transaction(F&& body) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  Database db;
  OSStatus status = db.open();
  if (status != errSecSuccess) return status;
  if (!db.exec("BEGIN IMMEDIATE")) return errSecIO;
  status = body(db, s.locked);
  if (status == errSecSuccess) {
    if (!db.exec("COMMIT")) {
      db.exec("ROLLBACK");
      return errSecIO;
    }
  } else {
    db.exec("ROLLBACK");
  }
  return status;
}

double nowSeconds() { return NSDate::now().timeIntervalSince1970(); }

}  // namespace

std::string keychainDatabasePath() { return DeviceRoot::platformStatePath() + "/keychain.db"; }

void setKeychainDeviceLockedForTesting(bool locked) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  s.locked = locked;
}

SecAccessControlRef SecAccessControlCreateWithFlags(const Value& protection, uint64_t flags,
                                                    NSErrorRef* error) {
  if (!protection.isString() || !isAccessibleValue(*protection.string())) {
    if (error) *error = NSError::make(NSOSStatusErrorDomain, errSecParam);
    return nullptr;
  }
  return std::make_shared<SecAccessControl>(*protection.string(), flags);
}

OSStatus SecItemAdd(const Dictionary& attributes, Value* result) {
  if (result) *result = Value();
  Attributes a;
  OSStatus status = parseAttributes(attributes, &a);
  if (status != errSecSuccess) return status;
  if ((status = checkClass(a.cls)) != errSecSuccess) return status;
  if (a.sync == Attributes::Sync::Any) return errSecParam;
  bool wantData = attributes.get(kSecReturnData).boolValue();
  bool wantAttributes = attributes.get(kSecReturnAttributes).boolValue();
  return transaction([&](Database& db, bool locked) -> OSStatus {
    Item item;
    item.cls = *a.cls;
    apply(&item, a);
    if (locked && needsUnlock(item.accessible)) return errSecInteractionNotAllowed;
    item.created = item.modified = nowSeconds();
    std::vector<Item> existing;
    if (!db.load(item.cls, &existing)) return errSecIO;
    for (auto& e : existing)
      if (isDuplicate(e, item)) return errSecDuplicateItem;
    if (!db.store(item)) return errSecIO;
    if (result) {
      if (wantAttributes) {
        *result = attributesOf(item, wantData);
      } else if (wantData && item.data) {
        *result = *item.data;
      }
    }
    return errSecSuccess;
  });
}

OSStatus SecItemCopyMatching(const Dictionary& query, Value* result) {
  if (result) *result = Value();
  Attributes q;
  OSStatus status = parseAttributes(query, &q);
  if (status != errSecSuccess) return status;
  if ((status = checkClass(q.cls)) != errSecSuccess) return status;
  q.data.reset();  // data is not a search attribute
  bool wantData = query.get(kSecReturnData).boolValue();
  bool wantAttributes = query.get(kSecReturnAttributes).boolValue();
  const Value& limit = query.get(kSecMatchLimit);
  bool all = limit.isString() ? *limit.string() == kSecMatchLimitAll
                              : (limit.isNumber() && limit.integerValue() > 1);
  return transaction([&](Database& db, bool locked) -> OSStatus {
    std::vector<Item> items;
    if (!db.load(*q.cls, &items)) return errSecIO;
    Array found;
    for (auto& it : items) {
      if (!matches(it, q)) continue;
      if (locked && needsUnlock(it.accessible)) return errSecInteractionNotAllowed;
      Value one;
      if (wantAttributes) {
        one = attributesOf(it, wantData);
      } else if (wantData) {
        one = it.data ? Value(*it.data) : Value();
      }
      found.push_back(std::move(one));
      if (!all) break;
    }
    if (found.empty()) return errSecItemNotFound;
    if (result && (wantData || wantAttributes)) {
      *result = all ? Value(std::move(found)) : found.front();
    }
    return errSecSuccess;
  });
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
  Attributes q, changes;
  OSStatus status = parseAttributes(query, &q);
  if (status != errSecSuccess) return status;
  if ((status = checkClass(q.cls)) != errSecSuccess) return status;
  q.data.reset();
  if (attributesToUpdate.contains(kSecClass) || attributesToUpdate.contains(kSecReturnData) ||
      attributesToUpdate.contains(kSecReturnAttributes) ||
      attributesToUpdate.contains(kSecMatchLimit)) {
    return errSecParam;
  }
  if ((status = parseAttributes(attributesToUpdate, &changes)) != errSecSuccess) return status;
  if (changes.sync == Attributes::Sync::Any) return errSecParam;
  return transaction([&](Database& db, bool locked) -> OSStatus {
    std::vector<Item> items;
    if (!db.load(*q.cls, &items)) return errSecIO;
    std::vector<size_t> hit;
    for (size_t i = 0; i < items.size(); ++i) {
      if (!matches(items[i], q)) continue;
      if (locked && needsUnlock(items[i].accessible)) return errSecInteractionNotAllowed;
      hit.push_back(i);
    }
    if (hit.empty()) return errSecItemNotFound;
    double now = nowSeconds();
    for (size_t i : hit) {
      apply(&items[i], changes);
      items[i].modified = now;
    }
    for (size_t i = 0; i < items.size(); ++i)
      for (size_t j = i + 1; j < items.size(); ++j)
        if (isDuplicate(items[i], items[j])) return errSecDuplicateItem;
    for (size_t i : hit)
      if (!db.store(items[i])) return errSecIO;
    return errSecSuccess;
  });
}

OSStatus SecItemDelete(const Dictionary& query) {
  Attributes q;
  OSStatus status = parseAttributes(query, &q);
  if (status != errSecSuccess) return status;
  if ((status = checkClass(q.cls)) != errSecSuccess) return status;
  q.data.reset();
  return transaction([&](Database& db, bool locked) -> OSStatus {
    std::vector<Item> items;
    if (!db.load(*q.cls, &items)) return errSecIO;
    bool any = false;
    for (auto& it : items) {
      if (!matches(it, q)) continue;
      if (locked && needsUnlock(it.accessible)) return errSecInteractionNotAllowed;
      if (!db.remove(it.id)) return errSecIO;
      any = true;
    }
    return any ? errSecSuccess : errSecItemNotFound;
  });
}

}  // namespace plat
