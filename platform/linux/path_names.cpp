#include "platform/path_names.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

char path_separator() { return '/'; }

size_t prefix_path(const char* name, size_t name_length, const char* entry, size_t entry_length, char* out,
                   size_t size) {
  // /srv/images serves /srv/images/a but not /srv/images2.
  if (entry_length < 2 || entry[0] != '/' || name_length < entry_length + 1) return 0;
  if (memcmp(name, entry, entry_length) != 0 || name[entry_length] != '/') return 0;
  if (name_length >= size) return static_cast<size_t>(-1);
  memcpy(out, name, name_length + 1);
  return entry_length;
}

size_t current_directory(char* buffer, size_t size) {
  if (size < 2 || !getcwd(buffer, size - 1)) {
    if (size) buffer[0] = 0;
    return 0;
  }
  size_t n = strlen(buffer);
  if (n == 0 || buffer[n - 1] != '/') {
    buffer[n++] = '/';
    buffer[n] = 0;
  }
  return n;
}

size_t default_root_directory(char* buffer, size_t size) {
  static const char root[] = "/srv/tftp/";
  if (size < sizeof root) {
    if (size) buffer[0] = 0;
    return 0;
  }
  memcpy(buffer, root, sizeof root);
  return sizeof root - 1;
}

size_t canonical_directory(const char* path, char* buffer, size_t size) {
  if (size) buffer[0] = 0;
  if (!path || !path[0] || size < 2) return 0;
  std::string absolute = path;
  if (path[0] != '/') {
    // A relative root is served relative to the current directory.
    char here[4096];
    if (current_directory(here, sizeof here) == 0) return 0;
    absolute = here + absolute;
  }
  path = absolute.c_str();
  char* resolved = realpath(path, nullptr);
  std::string lexical;
  if (!resolved) {
    // Not there (yet): its components taken as written, "." and ".." applied.
    std::vector<std::string> parts;
    for (const char* p = path; *p;) {
      const char* end = strchr(p, '/');
      std::string part(p, end ? static_cast<size_t>(end - p) : strlen(p));
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      if (!end) break;
      p = end + 1;
    }
    for (const std::string& part : parts) lexical += "/" + part;
    if (lexical.empty()) lexical.push_back('/');
  }
  const char* text = resolved ? resolved : lexical.c_str();
  size_t n = strlen(text);
  while (n > 1 && text[n - 1] == '/') n--;  // one separator is added below
  size_t total = n + (n == 1 ? 0 : 1);
  if (total >= size) {
    free(resolved);
    return 0;
  }
  memcpy(buffer, text, n);
  if (n != 1) buffer[n] = '/';
  buffer[total] = 0;
  free(resolved);
  return total;
}

int directory_within(const char* outer, const char* inner) {
  size_t n = strlen(outer);
  return n > 0 && strncmp(outer, inner, n) == 0 ? 1 : 0;
}

int path_kind(const char* path) {
  struct stat st;
  if (!path || !path[0] || stat(path, &st) != 0) return PATH_KIND_MISSING;
  return S_ISDIR(st.st_mode) ? PATH_KIND_DIRECTORY : PATH_KIND_OTHER;
}
