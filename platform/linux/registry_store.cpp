// Settings store over REGEDIT4 text files; see registry_store.h.
#include "platform/registry_store.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::string_view STORE_ROOT_MACHINE = "HKEY_LOCAL_MACHINE";
constexpr std::string_view STORE_ROOT_USER = "HKEY_CURRENT_USER";
constexpr size_t STORE_MAX_FILE = 64u << 20;  // refuse to load anything larger

// ---------------------------------------------------------------- text helpers

char lower_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return 0;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower_ascii(a[i]) != lower_ascii(b[i])) return 0;
  return 1;
}

int starts_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_nocase(text.substr(0, prefix.size()), prefix);
}

int is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_end(std::string_view s) {
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Key paths are kept as components joined by "\", each trimmed, none empty,
// so that "a\\b\" and " a\b" name the same key as "a\b".
std::string_view next_component(std::string_view* rest) {
  while (!rest->empty()) {
    size_t cut = rest->find('\\');
    std::string_view part = rest->substr(0, cut);
    rest->remove_prefix(cut == std::string_view::npos ? rest->size() : cut + 1);
    part = trim(part);
    if (!part.empty()) return part;
  }
  return {};
}

std::string normalize_path(std::string_view path) {
  std::string out;
  for (std::string_view part = next_component(&path); !part.empty(); part = next_component(&path)) {
    if (!out.empty()) out += '\\';
    out += part;
  }
  return out;
}

// Compares a stored (normalized) path with a caller's path without allocating:
// reads take this path at every request.
int path_equal(std::string_view stored, std::string_view query) {
  std::string_view a = stored, b = query;
  for (;;) {
    std::string_view pa = next_component(&a), pb = next_component(&b);
    if (pa.empty() || pb.empty()) return pa.empty() && pb.empty();
    if (!equal_nocase(pa, pb)) return 0;
  }
}

// 1 when stored is strictly below query; *child gets the first component under it.
int path_below(std::string_view stored, std::string_view query, std::string_view* child) {
  std::string_view a = stored, b = query;
  for (;;) {
    std::string_view pb = next_component(&b);
    std::string_view pa = next_component(&a);
    if (pb.empty()) {
      if (pa.empty()) return 0;
      if (child) *child = pa;
      return 1;
    }
    if (pa.empty() || !equal_nocase(pa, pb)) return 0;
  }
}

std::string_view parent_path(std::string_view path) {
  size_t cut = path.rfind('\\');
  return cut == std::string_view::npos ? std::string_view{} : path.substr(0, cut);
}

// ---------------------------------------------------------------- parsing

// Reads a quoted string starting at text[*pos] == '"'. Only \\ and \" are
// escapes; any other backslash stays as written. Returns 0 when unterminated.
int read_quoted(std::string_view text, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return 1;
    }
    if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
      out->push_back(text[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return 0;
}

void append_quoted(std::string* out, std::string_view s) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

int is_other_type(std::string_view data) {
  return starts_nocase(data, "dword:") || starts_nocase(data, "hex:") || starts_nocase(data, "hex(");
}

// Raw bytes of a dword:/hex:/hex(n): value. Malformed parts give no bytes
// rather than a guess.
std::string decode_other(std::string_view raw) {
  std::string bytes;
  if (starts_nocase(raw, "dword:")) {
    std::string_view digits = trim(raw.substr(6));
    uint32_t v = 0;
    size_t n = 0;
    while (n < digits.size() && hex_digit(digits[n]) >= 0) {
      v = (v << 4) | static_cast<uint32_t>(hex_digit(digits[n]));
      ++n;
    }
    if (n == 0 || n > 8) return bytes;
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    return bytes;
  }
  size_t colon = raw.find(':');
  if (colon == std::string_view::npos) return bytes;
  std::string_view list = raw.substr(colon + 1);
  unsigned acc = 0;
  int digits = 0;
  for (char c : list) {
    int d = hex_digit(c);
    if (d >= 0) {
      if (digits < 3) {
        acc = (acc << 4) | static_cast<unsigned>(d);
        ++digits;
      }
      continue;
    }
    if (c == ',') {
      if (digits >= 1 && digits <= 2) bytes.push_back(static_cast<char>(acc));
      acc = digits = 0;
    } else if (!(c == '\\' || c == '\n' || is_blank(c))) {
      digits = 3;  // poisons this item: skipped at the next separator
    }
  }
  if (digits >= 1 && digits <= 2) bytes.push_back(static_cast<char>(acc));
  return bytes;
}

store_key* find_key(store_document* doc, std::string_view path) {
  for (store_key& k : doc->keys)
    if (path_equal(k.path, path)) return &k;
  return nullptr;
}

const store_key* find_key(const store_document& doc, std::string_view path) {
  for (const store_key& k : doc.keys)
    if (path_equal(k.path, path)) return &k;
  return nullptr;
}

store_value* find_value(store_key* key, std::string_view name) {
  for (store_value& v : key->values)
    if (equal_nocase(v.name, name)) return &v;
  return nullptr;
}

const store_value* find_value(const store_key& key, std::string_view name) {
  for (const store_value& v : key.values)
    if (equal_nocase(v.name, name)) return &v;
  return nullptr;
}

store_key* add_key(store_document* doc, std::string_view path) {
  std::string norm = normalize_path(path);
  if (store_key* k = find_key(doc, norm)) return k;
  doc->keys.push_back(store_key{std::move(norm), {}});
  return &doc->keys.back();
}

std::string lower_copy(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower_ascii(c);
  return out;
}

// Lookup tables used while parsing, so that a file with many keys or values
// costs linear time rather than quadratic.
struct parse_index {
  std::unordered_map<std::string, size_t> keys;                  // lower-case path -> key
  std::vector<std::unordered_map<std::string, size_t>> values;  // per key: lower-case name -> value
};

size_t parse_add_key(store_document* doc, parse_index* index, std::string path) {
  auto [it, added] = index->keys.emplace(lower_copy(path), doc->keys.size());
  if (added) {
    doc->keys.push_back(store_key{std::move(path), {}});
    index->values.emplace_back();
  }
  return it->second;
}

// A later assignment to the same name wins, as when a .reg file is imported;
// the first spelling of the name stays.
void parse_put_value(store_document* doc, parse_index* index, size_t key, store_value v) {
  std::vector<store_value>& values = doc->keys[key].values;
  auto [it, added] = index->values[key].emplace(lower_copy(v.name), values.size());
  if (added) {
    values.push_back(std::move(v));
    return;
  }
  store_value& old = values[it->second];
  old.type = v.type;
  old.data = std::move(v.data);
  old.raw = std::move(v.raw);
}

// Section name after "[" .. "]": the key path below a known hive root, or
// 0 when the section is to be ignored (other roots, "[-...]" deletions).
int section_path(std::string_view inner, std::string* path) {
  inner = trim(inner);
  for (std::string_view root : {STORE_ROOT_MACHINE, STORE_ROOT_USER}) {
    if (!starts_nocase(inner, root)) continue;
    std::string_view rest = inner.substr(root.size());
    if (!rest.empty() && rest.front() != '\\') continue;
    *path = normalize_path(rest);
    return 1;
  }
  return 0;
}

struct line_reader {
  std::string_view text;
  size_t pos;
};

int next_line(line_reader* r, std::string_view* line) {
  if (r->pos >= r->text.size()) return 0;
  size_t end = r->text.find('\n', r->pos);
  if (end == std::string_view::npos) end = r->text.size();
  *line = trim_end(r->text.substr(r->pos, end - r->pos));
  r->pos = end + 1;
  return 1;
}

// Value data of another type may go on over lines ending in "\"; the layout
// is kept in raw so that a rewrite reproduces it. A "\" before a blank line or
// the end of the text continues nothing and is dropped.
std::string read_other(std::string_view first, line_reader* r) {
  std::string raw(first);
  while (!raw.empty() && raw.back() == '\\') {
    line_reader peek = *r;
    std::string_view next;
    if (!next_line(&peek, &next) || trim(next).empty()) {
      // Also undoes joins whose lines were only backslashes.
      while (!raw.empty() && (raw.back() == '\\' || raw.back() == '\n' || is_blank(raw.back()))) raw.pop_back();
      break;
    }
    *r = peek;
    raw += '\n';
    raw += next;
  }
  return raw;
}

// Reads a value line (and its continuation lines). Returns 0 for lines that
// set nothing.
int parse_value_line(std::string_view line, line_reader* r, store_value* v) {
  size_t pos = 0;
  if (!read_quoted(line, &pos, &v->name)) return 0;
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') return 0;
  ++pos;
  while (pos < line.size() && is_blank(line[pos])) ++pos;
  std::string_view data = line.substr(pos);
  if (!data.empty() && data.front() == '"') {
    if (!read_quoted(line, &pos, &v->data)) return 0;
    v->type = STORE_SZ;
    v->raw.clear();
    return 1;
  }
  if (is_other_type(data)) {
    v->type = STORE_OTHER;
    v->raw = read_other(data, r);
    v->data = decode_other(v->raw);
    return 1;
  }
  return 0;  // "-" deletions and anything unknown
}

// ---------------------------------------------------------------- files

struct file_identity {
  int exists;
  dev_t dev;
  ino_t ino;
  off_t size;
  long long mtime_ns;
};

file_identity identity_of(const struct stat& st) {
  return file_identity{1, st.st_dev, st.st_ino, st.st_size,
                       static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

int same_identity(const file_identity& a, const file_identity& b) {
  if (a.exists != b.exists) return 0;
  if (!a.exists) return 1;
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns;
}

int read_all(int fd, std::string* out, size_t limit) {
  out->clear();
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 0;
    if (n == 0) return 1;
    if (out->size() + static_cast<size_t>(n) > limit) return 0;
    out->append(buf, static_cast<size_t>(n));
  }
}

// Loads the hive file. A missing file is an empty hive (identity.exists 0).
// Returns 0 only when the file exists but cannot be read.
int load_file(const char* path, store_document* doc, file_identity* id) {
  doc->keys.clear();
  *id = file_identity{};
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat st;
  std::string text;
  int ok = fstat(fd, &st) == 0 && read_all(fd, &text, STORE_MAX_FILE);
  close(fd);
  if (!ok) return 0;
  *id = identity_of(st);
  store_parse(text, doc);
  return 1;
}

int make_directories(const std::string& file) {
  size_t cut = file.rfind('/');
  if (cut == std::string::npos || cut == 0) return 1;
  std::string dir = file.substr(0, cut);
  for (size_t i = 1; i <= dir.size(); ++i) {
    if (i != dir.size() && dir[i] != '/') continue;
    std::string part = dir.substr(0, i);
    if (mkdir(part.c_str(), 0755) == 0) {
      chmod(part.c_str(), 0755);  // whatever the umask
    } else if (errno != EEXIST) {
      return 0;
    }
  }
  return 1;
}

int write_fully(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 1;
}

long long now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// ---------------------------------------------------------------- cache

struct hive_cache {
  std::mutex lock;
  int valid = 0;
  std::string path;
  file_identity id{};
  store_document doc;
};

// Never destroyed: threads may still read settings while the process exits.
hive_cache* cache_of(int hive) {
  static hive_cache* const caches = new hive_cache[2];
  return &caches[hive];
}

int hive_ok(int hive) { return hive == HIVE_MACHINE || hive == HIVE_USER; }

// The hive file's path without building a string in the common cases, as
// reads take this path at every request. scratch holds it when it must be
// built.
const char* hive_path(int hive, std::string* scratch) {
  const char* env = getenv(hive == HIVE_USER ? "ORVANEL_HKCU" : "ORVANEL_HKLM");
  if (env && *env) return env;
  if (hive == HIVE_MACHINE) return "/etc/orvanel/hklm.reg";
  *scratch = store_file_path(hive);
  return scratch->c_str();
}

// With the cache lock held: makes the cached document current for the
// hive's file.
void refresh_locked(hive_cache* c, int hive) {
  std::string scratch;
  const char* path = hive_path(hive, &scratch);
  struct stat st;
  file_identity now{};
  if (stat(path, &st) == 0) now = identity_of(st);
  if (c->valid && c->path == path && same_identity(c->id, now)) return;
  store_document doc;
  file_identity id;
  if (!load_file(path, &doc, &id)) {
    c->valid = 0;  // unreadable: an empty hive until it can be read
    c->doc.keys.clear();
    return;
  }
  c->doc = std::move(doc);
  c->id = id;
  c->path = path;
  c->valid = 1;
}

// ---------------------------------------------------------------- writing

enum { STORE_EDIT_UNCHANGED = 0, STORE_EDIT_CHANGED = 1, STORE_EDIT_FAILED = 2 };

// Runs edit on the current file contents under the hive's write lock and
// replaces the file when edit reports a change. Returns the edit's result,
// or STORE_EDIT_FAILED when the file could not be locked, read or written.
template <typename Edit>
int update_hive(int hive, Edit edit) {
  if (!hive_ok(hive)) return STORE_EDIT_FAILED;
  std::string path = store_file_path(hive);
  if (path.empty() || !make_directories(path)) return STORE_EDIT_FAILED;
  std::string lock_path = path + ".lock";
  int lock_fd = open(lock_path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (lock_fd < 0) return STORE_EDIT_FAILED;
  int rc;
  while ((rc = flock(lock_fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    close(lock_fd);
    return STORE_EDIT_FAILED;
  }

  store_document doc;
  file_identity old_id;
  int result = load_file(path.c_str(), &doc, &old_id) ? edit(&doc) : STORE_EDIT_FAILED;
  file_identity new_id{};
  if (result == STORE_EDIT_CHANGED) {
    std::string text = store_format(doc, hive);
    std::string tmp = path + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int ok = fd >= 0 && fchmod(fd, 0644) == 0 && write_fully(fd, text);
    if (ok) {
      // Readers compare (inode, size, mtime); inode numbers get reused, so
      // make the mtime strictly newer than the file being replaced.
      long long t = now_ns();
      if (old_id.exists && t <= old_id.mtime_ns) t = old_id.mtime_ns + 1;
      struct timespec times[2];
      times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(t / 1000000000LL);
      times[0].tv_nsec = times[1].tv_nsec = static_cast<long>(t % 1000000000LL);
      struct stat st;
      ok = futimens(fd, times) == 0 && fsync(fd) == 0 && fstat(fd, &st) == 0;
      if (ok) new_id = identity_of(st);
    }
    if (fd >= 0 && close(fd) != 0) ok = 0;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = 0;
    if (!ok) {
      unlink(tmp.c_str());
      result = STORE_EDIT_FAILED;
    } else {
      size_t cut = path.rfind('/');
      std::string dir = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
      int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dfd >= 0) {
        fsync(dfd);  // makes the rename itself durable
        close(dfd);
      }
    }
  }
  if (result == STORE_EDIT_CHANGED) {
    // Still under the file lock, so cache updates happen in write order.
    hive_cache* c = cache_of(hive);
    std::lock_guard<std::mutex> guard(c->lock);
    c->doc = std::move(doc);
    c->id = new_id;
    c->path = path;
    c->valid = 1;
  }
  close(lock_fd);  // releases the flock
  return result;
}

int text_storable(std::string_view s) { return s.find_first_of("\r\n") == std::string_view::npos; }

}  // namespace

// ---------------------------------------------------------------- interface

std::string store_file_path(int hive) {
  const char* env = getenv(hive == HIVE_USER ? "ORVANEL_HKCU" : "ORVANEL_HKLM");
  if (!hive_ok(hive)) return {};
  if (env && *env) return env;
  if (hive == HIVE_MACHINE) return "/etc/orvanel/hklm.reg";
  std::string home;
  const char* h = getenv("HOME");
  if (h && *h) {
    home = h;
  } else {
    struct passwd pw, *found = nullptr;
    char buf[4096];
    if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_dir) home = found->pw_dir;
  }
  while (!home.empty() && home.back() == '/') home.pop_back();
  return home + "/.config/orvanel/hkcu.reg";
}

int store_read_value(int hive, std::string_view key, std::string_view name, std::string* out, int* type) {
  if (!hive_ok(hive)) return 0;
  hive_cache* c = cache_of(hive);
  std::lock_guard<std::mutex> guard(c->lock);
  refresh_locked(c, hive);
  const store_key* k = find_key(c->doc, key);
  if (!k) return 0;
  const store_value* v = find_value(*k, name);
  if (!v) return 0;
  if (out) *out = v->data;
  if (type) *type = v->type;
  return 1;
}

int store_write_value(int hive, std::string_view key, std::string_view name, std::string_view text) {
  // No escape for line breaks exists in the file format.
  if (!text_storable(key) || !text_storable(name) || !text_storable(text)) return 0;
  int r = update_hive(hive, [&](store_document* doc) {
    store_key* k = add_key(doc, key);
    if (store_value* v = find_value(k, name)) {
      if (v->type == STORE_SZ && v->data == text) return static_cast<int>(STORE_EDIT_UNCHANGED);
      v->type = STORE_SZ;
      v->data.assign(text);
      v->raw.clear();
    } else {
      k->values.push_back(store_value{std::string(name), STORE_SZ, std::string(text), {}});
    }
    return static_cast<int>(STORE_EDIT_CHANGED);
  });
  return r != STORE_EDIT_FAILED;
}

int store_create_key(int hive, std::string_view key) {
  if (!text_storable(key) || normalize_path(key).empty()) return 0;
  int r = update_hive(hive, [&](store_document* doc) {
    if (find_key(doc, key)) return static_cast<int>(STORE_EDIT_UNCHANGED);
    add_key(doc, key);
    return static_cast<int>(STORE_EDIT_CHANGED);
  });
  return r != STORE_EDIT_FAILED;
}

namespace {
int key_exists(const store_document& doc, std::string_view key) {
  for (const store_key& k : doc.keys)
    if (path_equal(k.path, key) || path_below(k.path, key, nullptr)) return 1;
  return 0;
}
}  // namespace

int store_delete_value(int hive, std::string_view key, std::string_view name) {
  int found = 0;
  int r = update_hive(hive, [&](store_document* doc) {
    found = key_exists(*doc, key);
    store_key* k = find_key(doc, key);
    if (!k) return static_cast<int>(STORE_EDIT_UNCHANGED);
    for (size_t i = 0; i < k->values.size(); ++i) {
      if (equal_nocase(k->values[i].name, name)) {
        k->values.erase(k->values.begin() + static_cast<std::ptrdiff_t>(i));
        return static_cast<int>(STORE_EDIT_CHANGED);
      }
    }
    return static_cast<int>(STORE_EDIT_UNCHANGED);
  });
  return r != STORE_EDIT_FAILED && found;
}

int store_delete_key(int hive, std::string_view key) {
  std::string norm = normalize_path(key);
  if (norm.empty()) return 0;  // the hive root itself stays
  int r = update_hive(hive, [&](store_document* doc) {
    if (!key_exists(*doc, norm)) return static_cast<int>(STORE_EDIT_UNCHANGED);
    std::vector<store_key> kept;
    std::string_view parent = parent_path(norm);
    for (store_key& k : doc->keys)
      if (!path_equal(k.path, norm) && !path_below(k.path, norm, nullptr)) kept.push_back(std::move(k));
    doc->keys = std::move(kept);
    // The parent may have existed only through this key; it stays.
    if (!parent.empty() && !key_exists(*doc, parent)) add_key(doc, parent);
    return static_cast<int>(STORE_EDIT_CHANGED);
  });
  return r == STORE_EDIT_CHANGED;
}

int store_replace_key_values(int hive, std::string_view key, const std::vector<store_value>& values) {
  if (!text_storable(key) || normalize_path(key).empty()) return 0;
  // Built first, so that a value that cannot be stored fails the whole set.
  std::vector<store_value> wanted;
  for (const store_value& v : values) {
    if (v.type != STORE_SZ || !text_storable(v.name) || !text_storable(v.data)) return 0;
    store_value copy = v;
    copy.raw.clear();
    int replaced = 0;
    for (store_value& w : wanted) {
      if (!equal_nocase(w.name, copy.name)) continue;
      w.type = copy.type;
      w.data = std::move(copy.data);
      w.raw = std::move(copy.raw);
      replaced = 1;
      break;
    }
    if (!replaced) wanted.push_back(std::move(copy));
  }
  int r = update_hive(hive, [&](store_document* doc) {
    store_key* k = find_key(doc, key);
    if (!k) {
      if (wanted.empty()) return static_cast<int>(STORE_EDIT_UNCHANGED);
      k = add_key(doc, key);
    }
    if (k->values.size() == wanted.size()) {
      int same = 1;
      for (size_t i = 0; i < wanted.size() && same; ++i) {
        const store_value& a = k->values[i];
        const store_value& b = wanted[i];
        same = a.name == b.name && a.type == b.type && a.data == b.data && a.raw == b.raw;
      }
      if (same) return static_cast<int>(STORE_EDIT_UNCHANGED);
    }
    k->values = wanted;
    return static_cast<int>(STORE_EDIT_CHANGED);
  });
  return r != STORE_EDIT_FAILED;
}

int store_list_key(int hive, std::string_view key, std::vector<store_value>* values,
                   std::vector<std::string>* subkeys) {
  if (values) values->clear();
  if (subkeys) subkeys->clear();
  if (!hive_ok(hive)) return 0;
  hive_cache* c = cache_of(hive);
  std::lock_guard<std::mutex> guard(c->lock);
  refresh_locked(c, hive);
  int exists = normalize_path(key).empty();  // the root always exists
  for (const store_key& k : c->doc.keys) {
    std::string_view child;
    if (path_equal(k.path, key)) {
      exists = 1;
      if (values) *values = k.values;
    } else if (path_below(k.path, key, &child)) {
      exists = 1;
      if (!subkeys) continue;
      int seen = 0;
      for (const std::string& s : *subkeys) seen |= equal_nocase(s, child);
      if (!seen) subkeys->emplace_back(child);
    }
  }
  return exists;
}

void store_parse(std::string_view text, store_document* doc, std::vector<store_line>* unread) {
  doc->keys.clear();
  if (unread) unread->clear();
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  line_reader r{text, 0};
  std::string_view line;
  parse_index index;
  int in_section = 0;
  int first = 1;
  size_t current = 0;  // index, as keys may move when the vector grows
  size_t counted = 0, line_number = 1;  // line breaks counted up to `counted`
  std::string path;
  for (size_t start = r.pos; next_line(&r, &line); start = r.pos) {
    line = trim(line);
    int header = first && (line == "REGEDIT4" || line == "Windows Registry Editor Version 5.00");
    if (!line.empty()) first = 0;
    if (line.empty() || line.front() == ';' || header) continue;
    int read = 1;
    if (line.front() == '[') {
      size_t close = line.rfind(']');
      read = close != std::string_view::npos && close > 0;
      in_section = read && section_path(line.substr(1, close - 1), &path);
      if (in_section) current = parse_add_key(doc, &index, std::move(path));
    } else {
      store_value v;
      // Values outside a known section are read too, so that their
      // continuation lines are not taken for lines of their own.
      read = line.front() == '"' && parse_value_line(line, &r, &v);
      if (read && in_section) parse_put_value(doc, &index, current, std::move(v));
      // "@=" default values, "-" deletions and anything else set nothing.
    }
    if (read || !unread) continue;
    for (; counted < start; counted++) line_number += text[counted] == '\n';
    unread->push_back(store_line{line_number, std::string(line)});
  }
}

int store_check_file(int hive, std::vector<store_line>* unread) {
  unread->clear();
  if (!hive_ok(hive)) return STORE_FILE_UNREADABLE;
  std::string path = store_file_path(hive);
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? STORE_FILE_MISSING : STORE_FILE_UNREADABLE;
  std::string text;
  int ok = read_all(fd, &text, STORE_MAX_FILE);
  close(fd);
  if (!ok) return STORE_FILE_UNREADABLE;
  store_document doc;
  store_parse(text, &doc, unread);
  return STORE_FILE_READ;
}

std::string store_format(const store_document& doc, int hive) {
  std::string_view root = hive == HIVE_USER ? STORE_ROOT_USER : STORE_ROOT_MACHINE;
  std::string out = "REGEDIT4\n\n";
  for (const store_key& k : doc.keys) {
    out += '[';
    out += root;
    if (!k.path.empty()) {
      out += '\\';
      out += k.path;
    }
    out += "]\n";
    for (const store_value& v : k.values) {
      append_quoted(&out, v.name);
      out += '=';
      if (v.type == STORE_SZ) {
        append_quoted(&out, v.data);
      } else {
        out += v.raw;
      }
      out += '\n';
    }
    out += '\n';
  }
  return out;
}
