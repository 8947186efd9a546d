#include "desktop/ui_strings.h"

#include <cstdio>
#include <cstring>

std::map<int, std::string> module_ui_strings;

struct ui_string {
  int id;
  const char* text;
};

static const ui_string builtin_strings[] = {
    {1, "English"},
    {2, "1.4.5"},
    {3, "Orvanel"},
    {4, "Please choose a Root directory for the TFTP server. Clients specify a path relativ to this directory."},
    {5, "Module"},
    {6, "Language"},
    {7, "Version"},
    {8, "Preferences"},
    {9, "Orvanel TFTP Server"},
    {10, "Failed to create dialog"},
    {11, "Date"},
    {12, "Time"},
    {13, "IP Address"},
    {14, "Operation"},
    {15, "File"},
    {16, "Duration"},
    {17, "&New Entry"},
    {18, "&Remove Entry"},
    {19, "Directory"},
    {20, "Host range"},
    {21, "&View Log"},
    {22, "&Exit"},
    {23, "&Start..."},
    {24, "&Stop..."},
    {25, " Active Clients: %u"},
    {26, " Listening on Port %u"},
    {27, " Failed to listen on Port %u"},
    {28, " Server paused"},
    {29, "Orvanel"},
    {30, "Status"},
    {31, "Printing failed"},
};

const char* builtin_ui_string(int id) {
  for (const ui_string& s : builtin_strings)
    if (s.id == id) return s.text;
  return nullptr;
}

char* load_ui_string(int id, char* buffer, size_t size) {
  if (size == 0) return buffer;
  auto found = module_ui_strings.find(id);
  const char* text = found != module_ui_strings.end() && !found->second.empty() ? found->second.c_str()
                                                                                 : builtin_ui_string(id);
  snprintf(buffer, size, "%s", text ? text : "");
  return buffer;
}

int is_number_format(const char* text) {
  int numbers = 0;
  for (const char* p = text; *p; p++) {
    if (*p != '%') continue;
    if (p[1] == '%') {
      p++;
    } else if (p[1] == 'u') {
      numbers++;
      p++;
    } else {
      return 0;
    }
  }
  return numbers == 1;
}

char* format_ui_number(int id, uint32_t value, char* buffer, size_t size) {
  char format[256];
  load_ui_string(id, format, sizeof format);
  if (!is_number_format(format)) {
    const char* own = builtin_ui_string(id);
    snprintf(format, sizeof format, "%s", own && is_number_format(own) ? own : "%u");
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(buffer, size, format, value);
#pragma GCC diagnostic pop
  return buffer;
}

void parse_module_strings(std::string_view text, std::map<int, std::string>* out) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t tab = line.find('\t');
    if (line.empty() || line[0] == '#' || tab == std::string_view::npos || tab == 0 || tab > 5) continue;
    int id = 0;
    bool digits = true;
    for (char c : line.substr(0, tab)) {
      if (c < '0' || c > '9') digits = false;
      else id = id * 10 + (c - '0');
    }
    if (!digits || id < 1 || id > 65535) continue;
    (*out)[id] = std::string(line.substr(tab + 1));
  }
}
