#include "desktop/access_editor.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "core/access_rules.h"
#include "core/registry.h"
#include "core/settings.h"
#include "desktop/setting_writes.h"
#include "platform/file_open.h"

static std::string access_subkey() { return std::string(SETTINGS_KEY) + "\\Access"; }

static int same_name(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// ---------------------------------------------------------------- directories

size_t list_rule_directories(const char* root, std::vector<std::string>* names) {
  names->clear();
  names->push_back(ACCESS_ROOT_NAME);
  int base = open_base_directory(root);
  if (base < 0) return names->size();
  std::vector<std::string> found;
  int listing = openat(base, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
  if (!dir && listing >= 0) close(listing);
  if (dir) {
    // Bounded: a directory with more entries than any rule list could use
    // is not read to its end.
    for (int n = 0; n < 100000; n++) {
      dirent* entry = readdir(dir);
      if (!entry) break;
      std::string name = entry->d_name;
      if (name == "." || name == ".." || name.find_first_of("\r\n") != std::string::npos) continue;
      if (is_directory_beneath(base, name.c_str())) found.push_back(name);
    }
    closedir(dir);
  }
  close(base);
  std::sort(found.begin(), found.end());
  for (const std::string& name : found) {
    int seen = 0;
    for (const std::string& other : *names) seen |= same_name(other, name);
    if (!seen) names->push_back(name);
  }
  return names->size();
}

// ---------------------------------------------------------------- loading

int is_access_address(const std::string& text) {
  ip_address address;
  // The server reads an IPv4 end as a dotted quad of at most 15 characters.
  if (text.empty() || text.size() >= IP_TEXT_SIZE) return 0;
  if (text.find(':') == std::string::npos && text.size() > 15) return 0;
  return parse_rule_address(text.c_str(), &address);
}

int same_access_family(const std::string& first, const std::string& last) {
  ip_address a, b;
  return parse_rule_address(first.c_str(), &a) && parse_rule_address(last.c_str(), &b) && a.family == b.family;
}

std::string normalize_access_rights(const std::string& rights) {
  int read = rights.find('r') != std::string::npos;
  int write = rights.find('w') != std::string::npos;
  int overwrite = rights.find('o') != std::string::npos;
  return access_rights_from_boxes(read, write, overwrite);
}

size_t add_directory_rules(const std::string& directory, std::vector<access_row>* rows) {
  std::string subkey = access_subkey();
  size_t added = 0;
  // The server stops at the first missing position; so does the list, so
  // that it shows what is in force. Bounded like the server's own walk
  // would be by the store's size.
  for (unsigned n = 0; n < 100000; n++) {
    char name[512];
    char text[RULE_TEXT_LIMIT + 2];
    snprintf(name, sizeof name, "%s\\%u", directory.c_str(), n);
    size_t length = reg_read_string(subkey.c_str(), name, "", text, sizeof text);
    // The server ends the list at a missing rule or one too long for it.
    if (length == 0 || !rule_text_fits(text, length)) {
      if (added == 0) rows->push_back(access_row{directory, "", ACCESS_ANY_ADDRESS, ""});
      return added == 0 ? 1 : added;
    }
    std::string rule = text;
    access_row row{directory, rule, ACCESS_ANY_ADDRESS, ""};
    size_t comma = rule.find(',');
    if (comma != std::string::npos) {
      row.rights = rule.substr(0, comma);
      std::string range = rule.substr(comma + 1);
      size_t dash = range.find('-');
      row.first = range.substr(0, dash);
      if (dash != std::string::npos) row.last = range.substr(dash + 1);
      // A rule the server cannot match covers nobody: not shown, dropped at OK.
      if (!is_access_address(row.first)) continue;
      if (dash != std::string::npos && !same_access_family(row.first, row.last)) continue;
    }
    row.rights = normalize_access_rights(row.rights);
    rows->push_back(row);
    added++;
  }
  return added;
}

void load_access_rows(const char* root, std::vector<access_row>* rows) {
  rows->clear();
  std::vector<std::string> directories;
  list_rule_directories(root, &directories);
  for (const std::string& directory : directories) add_directory_rules(directory, rows);
}

// ---------------------------------------------------------------- saving

std::string access_rule_text(const access_row& row) {
  std::string text = row.rights;
  if (row.first != ACCESS_ANY_ADDRESS) {
    text += ',';
    text += row.first;
    if (!row.last.empty()) {
      text += '-';
      text += row.last;
    }
  }
  return text;
}

// A row whose range the server could not read would cover nobody and vanish
// at the next opening; it is not written at all.
static int row_storable(const access_row& row) {
  if (row.first == ACCESS_ANY_ADDRESS) return !row.rights.empty();
  if (!is_access_address(row.first)) return 0;
  return row.last.empty() || same_access_family(row.first, row.last);
}

int save_access_rows(const char* root, const std::vector<access_row>& rows) {
  int base = open_base_directory(root);
  struct counter {
    std::string directory;
    unsigned next;
    int exists;
  };
  std::vector<counter> counters;
  std::vector<std::string> names, texts;
  for (const access_row& row : rows) {
    counter* c = nullptr;
    for (counter& other : counters)
      if (same_name(other.directory, row.directory)) c = &other;
    if (!c) {
      // Without the root at hand nothing can be told about its
      // subdirectories, and their rules are kept.
      int exists = row.directory == ACCESS_ROOT_NAME || base < 0 ||
                   (row.directory.find('/') == std::string::npos &&
                    is_directory_beneath(base, row.directory.c_str()));
      counters.push_back(counter{row.directory, 0, exists});
      c = &counters.back();
    }
    if (!c->exists || !row_storable(row)) continue;
    std::string text = access_rule_text(row);
    if (!rule_text_fits(text.c_str(), text.size())) continue;
    char name[512];
    snprintf(name, sizeof name, "%s\\%u", c->directory.c_str(), c->next++);
    names.push_back(name);
    texts.push_back(text);
  }
  if (base >= 0) close(base);
  std::vector<const char*> name_pointers, text_pointers;
  for (size_t i = 0; i < names.size(); i++) {
    name_pointers.push_back(names[i].c_str());
    text_pointers.push_back(texts[i].c_str());
  }
  return reg_replace_values(access_subkey().c_str(), name_pointers.data(), text_pointers.data(), names.size());
}

int apply_access_editor(int access_control, const char* root, const std::vector<access_row>& rows) {
  // Switching on: the new rules first, so no request meets the old rules
  // in force. Switching off: the switch first, so none meets the new rules.
  int ok = 1;
  if (access_control) ok &= save_access_rows(root, rows);
  ok &= store_setting_number("AccessControl", access_control ? 1 : 0, 0);
  load_access_setting(SETTINGS_KEY);
  if (!access_control) ok &= save_access_rows(root, rows);
  return ok;
}

// ---------------------------------------------------------------- edits

std::string access_directory_text(const access_row& row, const std::string& root) {
  return row.directory == ACCESS_ROOT_NAME ? root : "   " + row.directory;
}

int access_rights_image(const std::string& rights) {
  int read = rights.find('r') != std::string::npos;
  int write = rights.find('w') != std::string::npos;
  return read && write ? ACCESS_IMAGE_READ_WRITE
         : write       ? ACCESS_IMAGE_WRITE
         : read        ? ACCESS_IMAGE_READ
                       : ACCESS_IMAGE_NONE;
}

std::string access_rights_from_boxes(int read, int write, int overwrite) {
  std::string letters;
  if (read) letters += 'r';
  if (write) letters += 'w';
  if (write && overwrite) letters += 'o';
  return letters;
}

static int is_row(const std::vector<access_row>& rows, int row) {
  return row >= 0 && static_cast<size_t>(row) < rows.size();
}

int access_row_removable(const std::vector<access_row>& rows, int row) {
  if (!is_row(rows, row)) return 0;
  const std::string& directory = rows[static_cast<size_t>(row)].directory;
  return (is_row(rows, row - 1) && rows[static_cast<size_t>(row - 1)].directory == directory) ||
         (is_row(rows, row + 1) && rows[static_cast<size_t>(row + 1)].directory == directory);
}

int new_access_row(std::vector<access_row>* rows, int row) {
  if (!is_row(*rows, row)) return -1;
  access_row added{(*rows)[static_cast<size_t>(row)].directory, "", ACCESS_ANY_ADDRESS, ""};
  rows->insert(rows->begin() + row + 1, added);
  return row + 1;
}

int remove_access_row(std::vector<access_row>* rows, int row) {
  if (!access_row_removable(*rows, row)) return 0;
  rows->erase(rows->begin() + row);
  return 1;
}

// An address typed for one end of the row's range: valid, and of the other
// end's family when that end is an address.
static int fits_range(const std::string& text, const std::string& other) {
  if (!is_access_address(text)) return 0;
  return !is_access_address(other) || same_access_family(text, other);
}

int set_access_first_address(access_row* row, const std::string& text) {
  if (!text.empty() && !fits_range(text, row->last)) return 0;
  if (text.empty() && row->last.empty()) {
    row->first.assign(ACCESS_ANY_ADDRESS);
  } else {
    row->first = text;
  }
  return 1;
}

int set_access_last_address(access_row* row, const std::string& text) {
  if (!text.empty() && !fits_range(text, row->first)) return 0;
  row->last = text;
  // Without a first address the rule covers every address until a last
  // one is typed; then the first is still to come.
  if (row->first.empty() || row->first == ACCESS_ANY_ADDRESS) {
    if (text.empty()) {
      row->first.assign(ACCESS_ANY_ADDRESS);
    } else {
      row->first.clear();
    }
  }
  return 1;
}
