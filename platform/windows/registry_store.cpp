// The settings store on Windows is the registry itself: HKEY_LOCAL_MACHINE
// and HKEY_CURRENT_USER, keys opened for each call and closed right after.
// The REGEDIT4 text the Linux store keeps is what regedit imports here.
#include "platform/registry_store.h"

#include <windows.h>

#include <algorithm>
#include <string>

static HKEY root_of(int hive) { return hive == HIVE_USER ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }
static int hive_ok(int hive) { return hive == HIVE_MACHINE || hive == HIVE_USER; }

static std::string key_text(std::string_view key) {
  std::string k(key);
  while (!k.empty() && k.front() == '\\') k.erase(k.begin());
  while (!k.empty() && k.back() == '\\') k.pop_back();
  return k;
}

static int text_storable(std::string_view s) { return s.find('\0') == std::string_view::npos; }

static int lower_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); i++) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return 0;
  }
  return 1;
}

// The registry replaces no set of values in one step. Our replacements and
// listings take one named mutex, so that a reader in any process of this
// system sees the old set or the new one whole; outside editors (regedit)
// do not take it.
namespace {
struct store_lock {
  HANDLE mutex;
  store_lock() {
    static HANDLE shared = CreateMutexW(nullptr, FALSE, L"orvanel_registry_store");
    mutex = shared;
    if (mutex) WaitForSingleObject(mutex, 10000);
  }
  ~store_lock() {
    if (mutex) ReleaseMutex(mutex);
  }
  store_lock(const store_lock&) = delete;
  store_lock& operator=(const store_lock&) = delete;
};
}  // namespace

std::string store_file_path(int hive) {
  if (!hive_ok(hive)) return {};
  return hive == HIVE_USER ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

static HKEY open_key(int hive, std::string_view key, REGSAM access) {
  if (!hive_ok(hive)) return nullptr;
  HKEY k = nullptr;
  if (RegOpenKeyExA(root_of(hive), key_text(key).c_str(), 0, access, &k) != ERROR_SUCCESS) return nullptr;
  return k;
}

static HKEY create_key(int hive, std::string_view key) {
  if (!hive_ok(hive)) return nullptr;
  std::string path = key_text(key);
  if (path.empty()) return nullptr;
  HKEY k = nullptr;
  if (RegCreateKeyExA(root_of(hive), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                      &k, nullptr) != ERROR_SUCCESS)
    return nullptr;
  return k;
}

// Reads one value of an open key: REG_SZ and REG_EXPAND_SZ as their text
// (the terminating zero left off), any other type as raw bytes.
static int read_open_value(HKEY k, const char* name, std::string* out, int* type) {
  DWORD kind = 0, size = 0;
  if (RegQueryValueExA(k, name, nullptr, &kind, nullptr, &size) != ERROR_SUCCESS) return 0;
  std::string data;
  for (int tries = 0; tries < 4; tries++) {
    data.resize(size);
    DWORD got = size;
    LONG r = RegQueryValueExA(k, name, nullptr, &kind, reinterpret_cast<BYTE*>(data.data()), &got);
    if (r == ERROR_MORE_DATA) {
      size = got;
      continue;
    }
    if (r != ERROR_SUCCESS) return 0;
    data.resize(got);
    break;
  }
  int text = kind == REG_SZ || kind == REG_EXPAND_SZ;
  if (text) {
    size_t end = data.find('\0');
    if (end != std::string::npos) data.resize(end);
  }
  if (out) *out = std::move(data);
  if (type) *type = text ? STORE_SZ : STORE_OTHER;
  return 1;
}

int store_read_value(int hive, std::string_view key, std::string_view name, std::string* out, int* type) {
  HKEY k = open_key(hive, key, KEY_QUERY_VALUE);
  if (!k) return 0;
  int ok = read_open_value(k, std::string(name).c_str(), out, type);
  RegCloseKey(k);
  return ok;
}

static int write_open_value(HKEY k, std::string_view name, std::string_view text) {
  std::string n(name), t(text);
  return RegSetValueExA(k, n.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(t.c_str()),
                        static_cast<DWORD>(t.size() + 1)) == ERROR_SUCCESS;
}

int store_write_value(int hive, std::string_view key, std::string_view name, std::string_view text) {
  if (!text_storable(key) || !text_storable(name) || !text_storable(text)) return 0;
  HKEY k = create_key(hive, key);
  if (!k) return 0;
  int ok = write_open_value(k, name, text);
  RegCloseKey(k);
  return ok;
}

int store_create_key(int hive, std::string_view key) {
  HKEY k = create_key(hive, key);
  if (!k) return 0;
  RegCloseKey(k);
  return 1;
}

int store_delete_value(int hive, std::string_view key, std::string_view name) {
  HKEY k = open_key(hive, key, KEY_SET_VALUE);
  if (!k) return 0;
  LONG r = RegDeleteValueA(k, std::string(name).c_str());
  RegCloseKey(k);
  return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
}

// The names of the values of an open key.
static int value_names(HKEY k, std::vector<std::string>* names) {
  names->clear();
  char name[16384];
  for (DWORD i = 0;; i++) {
    DWORD length = sizeof name;
    LONG r = RegEnumValueA(k, i, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (r == ERROR_NO_MORE_ITEMS) return 1;
    if (r != ERROR_SUCCESS) return 0;
    names->emplace_back(name, length);
  }
}

int store_replace_key_values(int hive, std::string_view key, const std::vector<store_value>& values) {
  if (!text_storable(key) || key_text(key).empty()) return 0;
  std::vector<store_value> wanted;
  for (const store_value& v : values) {
    if (v.type != STORE_SZ || !text_storable(v.name) || !text_storable(v.data)) return 0;
    auto same = std::find_if(wanted.begin(), wanted.end(), [&](const store_value& w) { return lower_equal(w.name, v.name); });
    if (same != wanted.end())
      same->data = v.data;
    else
      wanted.push_back(store_value{v.name, STORE_SZ, v.data, {}});
  }
  if (wanted.empty()) {
    HKEY existing = open_key(hive, key, KEY_QUERY_VALUE | KEY_SET_VALUE);
    if (!existing) return 1;  // an empty set on a missing key creates nothing
    RegCloseKey(existing);
  }
  store_lock hold;
  HKEY k = create_key(hive, key);
  if (!k) return 0;
  // The registry has no replacement of a key's values in one step: the new
  // set is written first, then what is not in it is deleted, so that a
  // reader sees no rule missing that both sets hold.
  int ok = 1;
  for (const store_value& v : wanted) ok = ok && write_open_value(k, v.name, v.data);
  std::vector<std::string> names;
  ok = ok && value_names(k, &names);
  for (const std::string& n : names) {
    int keep = std::any_of(wanted.begin(), wanted.end(), [&](const store_value& w) { return lower_equal(w.name, n); });
    if (ok && !keep) ok = RegDeleteValueA(k, n.c_str()) == ERROR_SUCCESS;
  }
  RegCloseKey(k);
  return ok;
}

int store_delete_key(int hive, std::string_view key) {
  std::string path = key_text(key);
  if (!hive_ok(hive) || path.empty()) return 0;  // the hive root itself stays
  HKEY k = open_key(hive, path, KEY_READ);
  if (!k) return 0;
  RegCloseKey(k);
  return RegDeleteTreeA(root_of(hive), path.c_str()) == ERROR_SUCCESS &&
         RegDeleteKeyA(root_of(hive), path.c_str()) != ERROR_ACCESS_DENIED;
}

int store_list_key(int hive, std::string_view key, std::vector<store_value>* values,
                   std::vector<std::string>* subkeys) {
  if (values) values->clear();
  if (subkeys) subkeys->clear();
  std::string path = key_text(key);
  store_lock hold;
  HKEY k = path.empty() ? nullptr : open_key(hive, path, KEY_READ);
  if (path.empty()) {
    if (!hive_ok(hive) || RegOpenKeyExA(root_of(hive), nullptr, 0, KEY_READ, &k) != ERROR_SUCCESS) return 0;
  }
  if (!k) return 0;
  if (values) {
    std::vector<std::string> names;
    value_names(k, &names);
    for (const std::string& n : names) {
      store_value v{n, STORE_SZ, {}, {}};
      if (read_open_value(k, n.c_str(), &v.data, &v.type)) values->push_back(std::move(v));
    }
  }
  if (subkeys) {
    char name[256];
    for (DWORD i = 0;; i++) {
      DWORD length = sizeof name;
      if (RegEnumKeyExA(k, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
      subkeys->emplace_back(name, length);
    }
  }
  RegCloseKey(k);
  return 1;
}

int store_check_file(int hive, std::vector<store_line>* unread) {
  unread->clear();
  return hive_ok(hive) ? STORE_FILE_READ : STORE_FILE_UNREADABLE;
}
