#include "core/access_rules.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <strings.h>

#include "core/registry.h"
#include "core/session.h"
#include "core/settings.h"
#include "platform/file_open.h"
#include "platform/path_names.h"
#include "platform/udp_socket.h"

uint32_t parse_ipv4(const char* text, int* valid_out) {
  uint32_t address = 0;
  const char* p = text;
  int valid = 1;
  for (int part = 0; part < 4 && valid; part++) {
    while (isspace(static_cast<unsigned char>(*p))) p++;
    if (!isdigit(static_cast<unsigned char>(*p))) {
      valid = 0;
      break;
    }
    uint32_t number = 0;
    while (isdigit(static_cast<unsigned char>(*p)) && number < 256) number = number * 10 + static_cast<uint32_t>(*p++ - '0');
    if (number > 255 || isdigit(static_cast<unsigned char>(*p))) valid = 0;
    address = (address << 8) | number;
    if (part < 3) {
      if (*p != '.') valid = 0;
      p++;
    }
  }
  if (valid && *p != 0) valid = 0;
  if (valid && address == 0) valid = 0;  // 0.0.0.0 counts as no address
  if (valid_out) *valid_out = valid;
  return valid ? network_address(address) : 0;
}

// The value named name in the snapshot (names compare without regard to
// case, as in the store), or nullptr.
static const std::string* find_rule(const std::vector<std::string>& names, const std::vector<std::string>& texts,
                                    const char* name) {
  for (size_t i = 0; i < names.size(); i++)
    if (strcasecmp(names[i].c_str(), name) == 0) return &texts[i];
  return nullptr;
}

int parse_rule_address(const char* text, ip_address* out) {
  if (!strchr(text, ':')) {
    int valid;
    uint32_t address = parse_ipv4(text, &valid);
    if (valid) *out = ipv4_address(address);
    return valid;
  }
  while (isspace(static_cast<unsigned char>(*text))) text++;
  char trimmed[RULE_TEXT_LIMIT + 1];
  size_t n = strnlen(text, RULE_TEXT_LIMIT);
  memcpy(trimmed, text, n);
  while (n > 0 && isspace(static_cast<unsigned char>(trimmed[n - 1]))) n--;
  trimmed[n] = 0;
  return parse_ip_address(trimmed, out) && !is_any_address(*out);
}

int rule_text_fits(const char* text, size_t length) {
  return length <= (memchr(text, ':', length) ? RULE_TEXT_LIMIT : RULE_TEXT_MAX);
}

int match_access_rule(const ip_address& client, const char* directory, char* rights_out) {
  char subkey[64];
  snprintf(subkey, sizeof subkey, "%s\\Access", SETTINGS_KEY);
  // One snapshot for the whole walk: the editor replaces the rule set at
  // once, and reading rule by rule could take rule 0 of the old set and
  // rule 1 of the new.
  std::vector<std::string> names, texts;
  reg_read_values(subkey, &names, &texts);
  for (unsigned n = 0; n <= names.size(); n++) {
    char name[SESSION_PATH_SIZE + 16];
    char rule[RULE_TEXT_LIMIT + 2];
    snprintf(name, sizeof name, "%s\\%u", directory, n);
    const std::string* text = find_rule(names, texts, name);
    // A rule longer than 63 characters (95 with IPv6 addresses) does not fit
    // and ends the list like a missing one.
    if (!text || text->empty()) return 0;
    if (!rule_text_fits(text->c_str(), text->size())) return 0;
    memcpy(rule, text->c_str(), text->size() + 1);
    char* comma = strchr(rule, ',');
    if (comma) {
      *comma = 0;
      char* first = comma + 1;
      char* dash = strchr(first, '-');
      if (dash) *dash = 0;
      ip_address low, high;
      if (!parse_rule_address(first, &low) || low.family != client.family || compare_addresses(low, client) > 0)
        continue;
      if (dash) {
        if (!parse_rule_address(dash + 1, &high) || high.family != client.family ||
            compare_addresses(high, client) < 0)
          continue;
      }
    }
    size_t length = strnlen(rule, RULE_TEXT_LIMIT);
    memcpy(rights_out, rule, length);
    rights_out[length] = 0;
    return 1;
  }
  return 0;
}

int check_access(const char* access_path, const ip_address& client, int opcode, int* overwrite_out) {
  *overwrite_out = 1;
  if (AccessControl == 0) return 1;
  char directory[SESSION_PATH_SIZE];
  const char* slash = strchr(access_path, path_separator());
  if (slash) {
    size_t n = static_cast<size_t>(slash - access_path);
    if (n >= sizeof directory) n = sizeof directory - 1;
    memcpy(directory, access_path, n);
    directory[n] = 0;
  } else {
    strcpy(directory, "%root%");
  }
  char rights[RULE_TEXT_LIMIT + 1];
  if (!match_access_rule(client, directory, rights)) return 0;
  *overwrite_out = strchr(rights, 'o') != nullptr;
  if (opcode == OPCODE_RRQ && !strchr(rights, 'r')) return 0;
  if (opcode == OPCODE_WRQ && !strchr(rights, 'w')) return 0;
  return 1;
}

int resolve_path(char* name, const ip_address& client, int opcode, char* path_out, int* overwrite_out,
                 size_t* base_length_out) {
  if (strchr(name, ':') || strstr(name, "..")) return PATH_INVALID;
  // Either spelling of the separator is taken; the system's is kept.
  const char separator = path_separator();
  for (char* p = name; *p; p++)
    if (*p == '/' || *p == '\\') *p = separator;
  size_t name_length = strlen(name);

  for (std::string& entry : prefix_entries()) {
    while (entry.size() > 1 && entry.back() == separator) entry.pop_back();
    size_t base = prefix_path(name, name_length, entry.c_str(), entry.size(), path_out, SETTINGS_PATH_MAX);
    if (base == static_cast<size_t>(-1)) return PATH_TOO_LONG;
    if (base) {
      *overwrite_out = 1;
      *base_length_out = base;
      return PATH_OK;
    }
  }

  if (name[0] == separator) {
    name++;
    name_length--;
  }
  std::string root = root_directory();
  if (root.size() + name_length >= SETTINGS_PATH_MAX) return PATH_TOO_LONG;
  memcpy(path_out, root.c_str(), root.size() + 1);
  const char* access_path = name;
  std::string client_directory;
  if (RootIPspecific != 0) {
    // IPv6 clients' directories are named with "-" for ":", which no
    // system refuses in a file name.
    char dotted[IP_TEXT_SIZE];
    address_file_name(client, dotted);
    std::string candidate = root + dotted;
    int base = open_base_directory(root.c_str());
    int exists = base >= 0 && is_directory_beneath(base, dotted);
    if (base >= 0) close_file(base);
    if (exists) {
      client_directory = std::string(dotted) + separator + name;
      if (candidate.size() + 1 + name_length > SETTINGS_PATH_MAX) return PATH_TOO_LONG;
      memcpy(path_out, candidate.c_str(), candidate.size());
      path_out[candidate.size()] = separator;
      path_out[candidate.size() + 1] = 0;
      access_path = client_directory.c_str();
    }
  }
  if (!check_access(access_path, client, opcode, overwrite_out)) return PATH_DENIED;
  strcat(path_out, name);
  // Files under the root, also in a client's own directory, are opened
  // beneath the root.
  *base_length_out = root.size();
  return PATH_OK;
}
