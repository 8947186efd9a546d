#include "core/upload_leftovers.h"

#include <strings.h>

#include <cstring>
#include <string>

#include "core/printable.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/file_open.h"
#include "platform/path_names.h"
#include "platform/upload_leftovers.h"

int is_upload_temporary_name(const char* name) {
  size_t prefix = strlen(UPLOAD_TEMPORARY_PREFIX);
  if (strncmp(name, UPLOAD_TEMPORARY_PREFIX, prefix) != 0 || strlen(name) != prefix + 8) return 0;
  for (const char* p = name + prefix; *p; p++)
    if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f'))) return 0;
  return 1;
}

int is_reserved_upload_name(const char* path) {
  const char* last = strrchr(path, path_separator());
  last = last ? last + 1 : path;
  return strncasecmp(last, UPLOAD_TEMPORARY_PREFIX, strlen(UPLOAD_TEMPORARY_PREFIX)) == 0;
}

static void log_removal(const char* relative_path, void* directory) {
  std::string path = *static_cast<const std::string*>(directory) + relative_path;
  log_line(1, 0, " removed leftover upload file %s\n", printable_text(path).c_str());
}

int remove_upload_leftovers() {
  int removed = 0;
  std::string root = root_directory();
  const char separator = path_separator();
  if (!root.empty() && root.back() != separator) root += separator;
  if (!root.empty()) removed += remove_leftover_files(root.c_str(), is_upload_temporary_name, log_removal, &root);
  for (std::string entry : prefix_entries()) {
    if (entry.back() != separator) entry += separator;
    removed += remove_leftover_files(entry.c_str(), is_upload_temporary_name, log_removal, &entry);
  }
  return removed;
}
