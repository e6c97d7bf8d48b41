#include "platform/security/SecItem.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "platform/foundation/DeviceRoot.h"
#include "platform/foundation/NSLog.h"

namespace plat {

namespace {

// Text attributes kept in columns of their own, in column order.
constexpr const char* kTextAttributes[] = {
    kSecAttrService, kSecAttrAccount,  kSecAttrAccessGroup,
    kSecAttrServer,  kSecAttrProtocol, kSecAttrAuthenticationType,
    kSecAttrPath,    kSecAttrLabel,    kSecAttrComment};
constexpr size_t kTextCount = sizeof(kTextAttributes) / sizeof(kTextAttributes[0]);

constexpr const char* kAccessibleValues[] = {kSecAttrAccessibleWhenUnlocked,
                                             kSecAttrAccessibleAfterFirstUnlock,
                                             kSecAttrAccessibleAlways,
                                             kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly,
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

constexpr double kDefaultBusyWait = 5.0;
// The busy wait of this thread's calls (KeychainBusyWaitScope); negative: the default.
thread_local double tlsBusyWait = -1;

// A value bound to a statement parameter.
using Bound = std::variant<std::string, int64_t, Data>;

// The WHERE clause that selects the items matching `q`, with its values: each attribute given
// equals the item's (a missing text as "", a missing port as 0), synchronizable as the header
// says. The texts are compared in the form the expression indexes hold, so that they serve.
struct Where {
  std::string sql;
  std::vector<Bound> values;
};
Where whereMatching(const Attributes& q) {
  Where w;
  auto add = [&w](const std::string& clause, Bound v) {
    w.sql += w.sql.empty() ? " WHERE " : " AND ";
    w.sql += clause;
    w.values.push_back(std::move(v));
  };
  if (q.cls) add("cls = ?", *q.cls);
  for (size_t i = 0; i < kTextCount; ++i)
    if (q.text[i]) add(std::string("IFNULL(") + kTextAttributes[i] + ",'') = ?", *q.text[i]);
  if (q.port) add("IFNULL(port,0) = ?", *q.port);
  if (q.generic) add("IFNULL(gena,x'') = ?", *q.generic);
  if (q.accessible) add("pdmn = ?", *q.accessible);
  switch (q.sync) {
    case Attributes::Sync::Unset:
    case Attributes::Sync::No:
      add("sync = ?", int64_t{0});
      break;
    case Attributes::Sync::Yes:
      add("sync = ?", int64_t{1});
      break;
    case Attributes::Sync::Any:
      break;
  }
  return w;
}

// The query that finds the duplicates of `item` (its class's primary attributes).
Attributes duplicateKey(const Item& item) {
  Attributes k;
  k.cls = item.cls;
  k.sync = item.sync ? Attributes::Sync::Yes : Attributes::Sync::No;
  auto key = [&](const char* attr) {
    for (size_t i = 0; i < kTextCount; ++i)
      if (std::string(kTextAttributes[i]) == attr) k.text[i] = item.text[i].value_or("");
  };
  key(kSecAttrAccount);
  key(kSecAttrAccessGroup);
  if (item.cls == kSecClassGenericPassword) {
    key(kSecAttrService);
  } else {
    key(kSecAttrServer);
    key(kSecAttrProtocol);
    key(kSecAttrAuthenticationType);
    key(kSecAttrPath);
    k.port = item.port.value_or(0);
  }
  return k;
}

// The primary attributes of `item` as one text, to tell duplicates apart in memory.
std::string keyText(const Item& item) {
  Attributes k = duplicateKey(item);
  std::string t = *k.cls + (item.sync ? "|1" : "|0") + "|" + std::to_string(k.port.value_or(0));
  for (size_t i = 0; i < kTextCount; ++i) {
    if (!k.text[i]) continue;
    t += "|" + std::to_string(i) + ":" + std::to_string(k.text[i]->size()) + ":" + *k.text[i];
  }
  return t;
}

class Database {
 public:
  ~Database() { close(); }
  // Opens (creating) the file of the current device root, or keeps the connection already open
  // to that same file.
  OSStatus open() {
    std::string path = keychainDatabasePath();
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) {
        NSLog("keychain: %@ is not a regular file", path);
        close();
        return errSecIO;
      }
    } else {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (fd < 0 && errno != EEXIST) return errSecIO;
      if (fd >= 0) ::close(fd);
      if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return errSecIO;
    }
    if (db_ && path == path_ && st.st_dev == dev_ && st.st_ino == ino_) return errSecSuccess;
    close();
    chmod(path.c_str(), 0600);
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
      close();
      return errSecIO;
    }
    setBusyWait(tlsBusyWait < 0 ? kDefaultBusyWait : tlsBusyWait);
    // Readers never wait for a writer (another process may be stopped in the middle of a
    // write). A database another process holds in the old journal mode stays in it until a
    // later opening finds it free.
    exec("PRAGMA journal_mode=WAL");
    busy_ = false;
    // The table as earlier versions made it; the lookup indexes are added in place.
    if (!exec("CREATE TABLE IF NOT EXISTS items(id INTEGER PRIMARY KEY, cls TEXT NOT NULL,"
              " svce TEXT, acct TEXT, agrp TEXT, srvr TEXT, ptcl TEXT, atyp TEXT, path TEXT,"
              " labl TEXT, icmt TEXT, port INTEGER, gena BLOB, pdmn TEXT NOT NULL,"
              " acfl INTEGER NOT NULL, sync INTEGER NOT NULL, data BLOB, cdat REAL, mdat REAL)") ||
        !exec("CREATE INDEX IF NOT EXISTS items_by_service ON items(cls, IFNULL(svce,''),"
              " IFNULL(acct,''))") ||
        !exec("CREATE INDEX IF NOT EXISTS items_by_server ON items(cls, IFNULL(srvr,''),"
              " IFNULL(acct,''))")) {
      OSStatus status = busy_ ? errSecNotAvailable : errSecIO;
      close();
      return status;
    }
    path_ = path;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return errSecSuccess;
  }
  void close() {
    for (auto& [sql, st] : statements_) sqlite3_finalize(st);
    statements_.clear();
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    path_.clear();
  }
  void setBusyWait(double seconds) {
    sqlite3_busy_timeout(db_, static_cast<int>(std::min(seconds, 86400.0) * 1000));
  }
  // Whether a statement since the last clearBusy met a database locked past the busy wait.
  bool busy() const { return busy_; }
  void clearBusy() { busy_ = false; }

  bool exec(const char* sql) { return done(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)); }

  // The items matching `q` in the order they were added (the first only, unless `all`), their
  // data read only `withData`.
  bool load(const Attributes& q, bool all, bool withData, std::vector<Item>* out) {
    Where w = whereMatching(q);
    std::string sql = std::string(
                          "SELECT id, cls, svce, acct, agrp, srvr, ptcl, atyp, path, labl, icmt,"
                          " port, gena, pdmn, acfl, sync, ") +
                      (withData ? "data" : "NULL") + ", cdat, mdat FROM items" + w.sql +
                      " ORDER BY id" + (all ? "" : " LIMIT 1");
    sqlite3_stmt* st = prepare(sql, w.values);
    if (!st) return false;
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
    release(st);
    return done(rc);
  }

  // The ids of the items that `item` would duplicate (none but itself, normally), or nullopt
  // on failure.
  std::optional<std::vector<int64_t>> duplicatesOf(const Item& item) {
    Where w = whereMatching(duplicateKey(item));
    sqlite3_stmt* st = prepare("SELECT id FROM items" + w.sql, w.values);
    if (!st) return std::nullopt;
    std::vector<int64_t> ids;
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(st, 0));
    release(st);
    if (!done(rc)) return std::nullopt;
    return ids;
  }

  // Inserts (id 0) or replaces the item.
  bool store(const Item& it) {
    const char* sql =
        it.id ? "UPDATE items SET cls=?1, svce=?2, acct=?3, agrp=?4, srvr=?5, ptcl=?6, atyp=?7,"
                " path=?8, labl=?9, icmt=?10, port=?11, gena=?12, pdmn=?13, acfl=?14, sync=?15,"
                " data=?16, cdat=?17, mdat=?18 WHERE id=?19"
              : "INSERT INTO items(cls, svce, acct, agrp, srvr, ptcl, atyp, path, labl, icmt,"
                " port, gena, pdmn, acfl, sync, data, cdat, mdat)"
                " VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)";
    sqlite3_stmt* st = prepare(sql, {});
    if (!st) return false;
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
    bool ok = done(sqlite3_step(st));
    release(st);
    return ok;
  }

  // Deletes the items matching `q`; the number deleted, or -1 on failure.
  int64_t remove(const Attributes& q) {
    Where w = whereMatching(q);
    sqlite3_stmt* st = prepare("DELETE FROM items" + w.sql, w.values);
    if (!st) return -1;
    bool ok = done(sqlite3_step(st));
    int64_t changes = ok ? sqlite3_changes64(db_) : -1;
    release(st);
    return changes;
  }

 private:
  // Whether `rc` ends a statement well; notes a database that stayed locked.
  bool done(int rc) {
    if ((rc & 0xff) == SQLITE_BUSY) busy_ = true;
    return rc == SQLITE_OK || rc == SQLITE_DONE;
  }
  // The statement of `sql` with `values` bound: prepared once per connection and kept, as the
  // calls use a few shapes of statement over and over. Hand it back with release().
  sqlite3_stmt* prepare(const std::string& sql, const std::vector<Bound>& values) {
    if (statements_.size() >= 64 && !statements_.count(sql)) {
      for (auto& [text, kept] : statements_) sqlite3_finalize(kept);
      statements_.clear();
    }
    sqlite3_stmt*& st = statements_[sql];
    if (!st && !done(sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &st, nullptr))) {
      statements_.erase(sql);
      return nullptr;
    }
    int idx = 1;
    for (const Bound& v : values) {
      if (auto* t = std::get_if<std::string>(&v)) {
        bindText(st, idx++, *t);
      } else if (auto* n = std::get_if<int64_t>(&v)) {
        sqlite3_bind_int64(st, idx++, *n);
      } else {
        bindBlob(st, idx++, std::get<Data>(v));
      }
    }
    return st;
  }
  static void release(sqlite3_stmt* st) {
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
  }
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
    sqlite3_bind_text64(st, idx, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  }
  static void bindBlob(sqlite3_stmt* st, int idx, const std::optional<Data>& d) {
    if (!d) {
      sqlite3_bind_null(st, idx);
    } else {
      // A zero-length blob must not bind as NULL: empty data is still data.
      sqlite3_bind_blob64(st, idx, d->length() ? static_cast<const void*>(d->bytes()) : "",
                          d->length(), SQLITE_TRANSIENT);
    }
  }
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
  std::string path_;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  bool busy_ = false;
};

// Runs `body` inside one transaction (a writing one when `write`) of the database of the
// current device root, under the keychain lock. A database another connection keeps locked
// past this thread's busy wait answers errSecNotAvailable, and nothing is changed.
template <class F>
OSStatus transaction(bool write, F&& body) {
  auto& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  static auto* db = new Database();  // kept open while the device root stays the same
  OSStatus status = db->open();
  if (status != errSecSuccess) return status;
  db->setBusyWait(tlsBusyWait < 0 ? kDefaultBusyWait : tlsBusyWait);
  db->clearBusy();
  auto failed = [&] { return db->busy() ? errSecNotAvailable : errSecIO; };
  if (!db->exec(write ? "BEGIN IMMEDIATE" : "BEGIN")) return failed();
  status = body(*db, s.locked);
  if (status == errSecIO) status = failed();
  if (status == errSecSuccess) {
    if (!db->exec("COMMIT")) {
      status = failed();
      db->exec("ROLLBACK");
    }
  } else {
    db->exec("ROLLBACK");
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

KeychainBusyWaitScope::KeychainBusyWaitScope(double seconds) : previous_(tlsBusyWait) {
  tlsBusyWait = std::max(seconds, 0.0);
}
KeychainBusyWaitScope::~KeychainBusyWaitScope() { tlsBusyWait = previous_; }

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
  return transaction(true, [&](Database& db, bool locked) -> OSStatus {
    Item item;
    item.cls = *a.cls;
    apply(&item, a);
    if (locked && needsUnlock(item.accessible)) return errSecInteractionNotAllowed;
    item.created = item.modified = nowSeconds();
    auto duplicates = db.duplicatesOf(item);
    if (!duplicates) return errSecIO;
    if (!duplicates->empty()) return errSecDuplicateItem;
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
  return transaction(false, [&](Database& db, bool locked) -> OSStatus {
    std::vector<Item> items;
    if (!db.load(q, all, wantData, &items)) return errSecIO;
    Array found;
    for (auto& it : items) {
      if (locked && needsUnlock(it.accessible)) return errSecInteractionNotAllowed;
      Value one;
      if (wantAttributes) {
        one = attributesOf(it, wantData);
      } else if (wantData) {
        one = it.data ? Value(*it.data) : Value();
      }
      found.push_back(std::move(one));
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
  return transaction(true, [&](Database& db, bool locked) -> OSStatus {
    std::vector<Item> hits;
    if (!db.load(q, true, true, &hits)) return errSecIO;
    if (hits.empty()) return errSecItemNotFound;
    for (const Item& it : hits)
      if (locked && needsUnlock(it.accessible)) return errSecInteractionNotAllowed;
    double now = nowSeconds();
    std::set<int64_t> hitIds;
    for (Item& it : hits) {
      apply(&it, changes);
      it.modified = now;
      hitIds.insert(it.id);
    }
    // A changed item may duplicate an item left as it was, or another changed item.
    std::set<std::string> keys;
    for (const Item& it : hits) {
      auto duplicates = db.duplicatesOf(it);
      if (!duplicates) return errSecIO;
      for (int64_t id : *duplicates)
        if (!hitIds.count(id)) return errSecDuplicateItem;
      if (!keys.insert(keyText(it)).second) return errSecDuplicateItem;
    }
    for (const Item& it : hits)
      if (!db.store(it)) return errSecIO;
    return errSecSuccess;
  });
}

OSStatus SecItemDelete(const Dictionary& query) {
  Attributes q;
  OSStatus status = parseAttributes(query, &q);
  if (status != errSecSuccess) return status;
  if ((status = checkClass(q.cls)) != errSecSuccess) return status;
  q.data.reset();
  return transaction(true, [&](Database& db, bool locked) -> OSStatus {
    if (locked) {
      // Nothing is deleted when any matching item may not be touched while locked.
      std::vector<Item> items;
      if (!db.load(q, true, false, &items)) return errSecIO;
      for (const Item& it : items)
        if (needsUnlock(it.accessible)) return errSecInteractionNotAllowed;
    }
    int64_t removed = db.remove(q);
    if (removed < 0) return errSecIO;
    return removed > 0 ? errSecSuccess : errSecItemNotFound;
  });
}

}  // namespace plat
