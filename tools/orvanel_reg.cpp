// orvanel-reg: query and change the settings store from a shell, in the
// manner of reg.exe, for machines without the desktop program.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/program_switches.h"
#include "core/printable.h"
#include "core/settings.h"
#include "core/settings_check.h"
#include "platform/registry_store.h"

namespace {

constexpr const char* REG_MSG_OK = "The operation completed successfully.";
constexpr const char* REG_MSG_NOT_FOUND = "The system was unable to find the specified registry key or value.";
constexpr const char* REG_MSG_SYNTAX = "Invalid syntax. Type \"orvanel-reg /?\" for usage.";

enum { REG_OP_QUERY = 0, REG_OP_ADD = 1, REG_OP_DELETE = 2 };

struct reg_args {
  int op = REG_OP_QUERY;
  int hive = HIVE_MACHINE;
  std::string root;  // as printed: HKEY_LOCAL_MACHINE or HKEY_CURRENT_USER
  std::string path;
  int has_v = 0, has_va = 0, has_d = 0, has_t = 0, has_f = 0, has_s = 0;
  std::string v, d, t;
};

int fail(const char* message) {
  std::fprintf(stderr, "ERROR: %s\n", message);
  return 1;
}

int fail(const std::string& message) { return fail(message.c_str()); }

// A command line that makes no sense: reg.exe's message, the usage-error code.
int fail_usage(const std::string& message) {
  fail(message);
  return EXIT_USAGE_ERROR;
}

int ok() {
  std::printf("%s\n", REG_MSG_OK);
  return 0;
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

constexpr const char REG_USAGE[] =
      "Usage:\n"
      "  orvanel-reg query  KEY [/v NAME] [/s]\n"
      "  orvanel-reg add    KEY [/v NAME] [/t REG_SZ] [/d DATA] [/f]\n"
      "  orvanel-reg delete KEY [/v NAME | /va] [/f]\n"
      "\n"
      "KEY starts with HKLM\\ (HKEY_LOCAL_MACHINE\\) or HKCU\\ (HKEY_CURRENT_USER\\).\n"
      "Switches may also be written with '-', in any case. Values are always text\n"
      "(REG_SZ). The machine hive is $ORVANEL_HKLM or /etc/orvanel/hklm.reg, the\n"
      "user hive $ORVANEL_HKCU or ~/.config/orvanel/hkcu.reg.\n"
      "orvanel-reg --version prints the version. Exit status: 0 done, 1 failed,\n"
      "2 a command line that makes no sense.\n"
      "\n"
      "Examples:\n"
      "  orvanel-reg add 'HKLM\\Software\\Orvanel\\Kestrel' /v RootDirectory /d /srv/tftp/ /f\n"
      "  orvanel-reg add 'HKLM\\Software\\Orvanel\\Kestrel' /v WindowsizeMax /d 16 /f\n"
      "  orvanel-reg query 'HKLM\\Software\\Orvanel\\Kestrel' /s\n";

void usage() { std::fputs(REG_USAGE, stdout); }

// Splits "HKLM\Software\..." into hive and path. Returns 0 for other roots.
int parse_key(std::string_view key, reg_args* a) {
  size_t cut = key.find('\\');
  std::string root = lower(key.substr(0, cut));
  if (root == "hklm" || root == "hkey_local_machine") {
    a->hive = HIVE_MACHINE;
    a->root = "HKEY_LOCAL_MACHINE";
  } else if (root == "hkcu" || root == "hkey_current_user") {
    a->hive = HIVE_USER;
    a->root = "HKEY_CURRENT_USER";
  } else {
    return 0;
  }
  a->path.clear();
  // Same normal form as the store: no empty components.
  std::string_view rest = cut == std::string_view::npos ? std::string_view{} : key.substr(cut + 1);
  while (!rest.empty()) {
    size_t next = rest.find('\\');
    std::string_view part = rest.substr(0, next);
    rest.remove_prefix(next == std::string_view::npos ? rest.size() : next + 1);
    while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) part.remove_prefix(1);
    while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) part.remove_suffix(1);
    if (part.empty()) continue;
    if (!a->path.empty()) a->path += '\\';
    a->path += part;
  }
  return 1;
}

// Returns 0 when the arguments make sense for the operation; else prints the
// error and returns EXIT_USAGE_ERROR.
int parse_args(int argc, char** argv, reg_args* a) {
  std::string op = lower(argv[1]);
  if (op == "query") {
    a->op = REG_OP_QUERY;
  } else if (op == "add") {
    a->op = REG_OP_ADD;
  } else if (op == "delete") {
    a->op = REG_OP_DELETE;
  } else {
    return fail_usage(std::string("Invalid operation \"") + argv[1] + "\". Use query, add or delete.");
  }
  int have_key = 0;
  for (int i = 2; i < argc; ++i) {
    std::string_view arg = argv[i];
    int is_switch = arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-');
    if (!is_switch) {
      if (have_key) {
        return fail_usage(REG_MSG_SYNTAX);
      }
      if (!parse_key(arg, a)) {
        return fail_usage("Invalid key name. It must start with HKLM\\ or HKCU\\.");
      }
      have_key = 1;
      continue;
    }
    std::string name = lower(arg.substr(1));
    int* flag = nullptr;
    std::string* value = nullptr;
    if (name == "v") {
      flag = &a->has_v;
      value = &a->v;
    } else if (name == "d" && a->op == REG_OP_ADD) {
      flag = &a->has_d;
      value = &a->d;
    } else if (name == "t" && a->op == REG_OP_ADD) {
      flag = &a->has_t;
      value = &a->t;
    } else if (name == "va" && a->op == REG_OP_DELETE) {
      flag = &a->has_va;
    } else if (name == "f" && a->op != REG_OP_QUERY) {
      flag = &a->has_f;
    } else if (name == "s" && a->op == REG_OP_QUERY) {
      flag = &a->has_s;
    }
    if (!flag || *flag) {
      return fail_usage(REG_MSG_SYNTAX);
    }
    *flag = 1;
    if (value) {
      if (i + 1 >= argc) {
        return fail_usage(REG_MSG_SYNTAX);
      }
      *value = argv[++i];  // taken as is, even when it starts with "/"
    }
  }
  if (!have_key || (a->has_v && a->has_va)) {
    return fail_usage(REG_MSG_SYNTAX);
  }
  return 0;
}

std::string type_name(const store_value& v) {
  if (v.type == STORE_SZ) return "REG_SZ";
  std::string raw = lower(v.raw.substr(0, 7));
  if (raw.rfind("dword:", 0) == 0) return "REG_DWORD";
  if (raw.rfind("hex(2):", 0) == 0) return "REG_EXPAND_SZ";
  if (raw.rfind("hex(7):", 0) == 0) return "REG_MULTI_SZ";
  if (raw.rfind("hex(b):", 0) == 0) return "REG_QWORD";
  return "REG_BINARY";
}

// The file's text of a value on one line: continuation breaks removed.
std::string shown_data(const store_value& v) {
  if (v.type == STORE_SZ) return v.data;
  std::string out;
  for (size_t i = 0; i < v.raw.size(); ++i) {
    if (v.raw[i] == '\\' && i + 1 < v.raw.size() && v.raw[i + 1] == '\n') {
      i += 2;
      while (i < v.raw.size() && (v.raw[i] == ' ' || v.raw[i] == '\t')) ++i;
      --i;
      continue;
    }
    out += v.raw[i];
  }
  return out;
}

void print_value(const store_value& v) {
  std::printf("    %s    %s    %s\n", v.name.empty() ? "(Default)" : v.name.c_str(), type_name(v).c_str(),
              shown_data(v).c_str());
}

std::string full_name(const reg_args& a, const std::string& path) {
  return path.empty() ? a.root : a.root + "\\" + path;
}

// Prints one key as reg.exe does; with recurse, every key below it as well.
// Depth is bounded: paths come from a file that may be anything.
void print_key(const reg_args& a, const std::string& path, int recurse, int depth) {
  std::vector<store_value> values;
  std::vector<std::string> subkeys;
  if (!store_list_key(a.hive, path, &values, &subkeys)) return;
  std::printf("\n%s\n", full_name(a, path).c_str());
  for (const store_value& v : values) print_value(v);
  if (!recurse) {
    if (!subkeys.empty()) std::printf("\n");
    for (const std::string& s : subkeys) std::printf("%s\n", full_name(a, path.empty() ? s : path + "\\" + s).c_str());
    return;
  }
  if (depth >= 512) return;
  for (const std::string& s : subkeys) print_key(a, path.empty() ? s : path + "\\" + s, 1, depth + 1);
}

int run_query(const reg_args& a) {
  std::vector<store_value> values;
  if (!store_list_key(a.hive, a.path, &values, nullptr)) return fail(REG_MSG_NOT_FOUND);
  if (a.has_v) {
    for (const store_value& v : values) {
      if (lower(v.name) != lower(a.v)) continue;
      std::printf("\n%s\n", full_name(a, a.path).c_str());
      print_value(v);
      std::printf("\n");
      return 0;
    }
    return fail(REG_MSG_NOT_FOUND);
  }
  print_key(a, a.path, a.has_s, 0);
  std::printf("\n");
  return 0;
}

int write_failed(const reg_args& a) {
  return fail("Cannot write the settings file " + store_file_path(a.hive) + ".");
}

// A name the server does not know is stored all the same (other tools may
// keep values of their own there), but a misspelt setting would otherwise
// pass for a change that took effect.
void warn_unknown_name(const reg_args& a) {
  if (a.hive != HIVE_MACHINE || lower(a.path) != lower(std::string("Software\\Orvanel\\") + SETTINGS_KEY)) return;
  if (find_setting(a.v.c_str())) return;
  const char* near = nearest_setting_name(a.v.c_str());
  std::fprintf(stderr, "WARNING: No program of the suite reads a value named \"%s\" in this key; it has no effect.%s%s%s\n",
               printable_text(a.v).c_str(), near ? " Did you mean \"" : "", near ? near : "", near ? "\"?" : "");
}

int run_add(const reg_args& a) {
  if (a.has_t && lower(a.t) != "reg_sz")
    return fail("Only REG_SZ values can be added: the server keeps every value as text.");
  if (a.path.empty()) return fail("Invalid key name. Values cannot be set on the hive root.");
  if (a.v.find_first_of("\r\n") != std::string::npos || a.d.find_first_of("\r\n") != std::string::npos ||
      a.path.find_first_of("\r\n") != std::string::npos)
    return fail("Key names, value names and data cannot contain line breaks.");
  if (!a.has_v) {
    if (a.has_d) return fail(REG_MSG_SYNTAX);
    return store_create_key(a.hive, a.path) ? ok() : write_failed(a);
  }
  if (!store_write_value(a.hive, a.path, a.v, a.d)) return write_failed(a);
  warn_unknown_name(a);
  return ok();
}

int run_delete(const reg_args& a) {
  if (a.path.empty()) return fail("Invalid key name. The hive root cannot be deleted.");
  std::vector<store_value> values;
  if (!store_list_key(a.hive, a.path, &values, nullptr)) return fail(REG_MSG_NOT_FOUND);
  if (a.has_v) {
    std::string unused;
    if (!store_read_value(a.hive, a.path, a.v, &unused)) return fail(REG_MSG_NOT_FOUND);
    return store_delete_value(a.hive, a.path, a.v) ? ok() : write_failed(a);
  }
  if (a.has_va) {
    for (const store_value& v : values)
      if (!store_delete_value(a.hive, a.path, v.name)) return write_failed(a);
    return ok();
  }
  if (store_delete_key(a.hive, a.path)) return ok();
  // Deleting fails either because the key went away meanwhile or the file
  // could not be written; tell which.
  if (!store_list_key(a.hive, a.path, nullptr, nullptr)) return fail(REG_MSG_NOT_FOUND);
  return write_failed(a);
}

// "/?" anywhere asks for usage, except as the word after /v, /d or /t.
int wants_help(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = lower(argv[i]);
    int asks = arg == "/?" || arg == "-?" || arg == "--help" || (i == 1 && (arg == "-h" || arg == "help"));
    std::string before = i > 1 ? lower(argv[i - 1]) : "";
    if (!before.empty()) before.erase(0, 1);  // the switch without its "/" or "-"
    if (asks && before != "v" && before != "d" && before != "t") return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int answered = answer_help_or_version(argc, argv, "orvanel-reg", REG_USAGE);
  if (answered != SWITCH_NONE) return answered;
  if (argc < 2) return fail_usage(REG_MSG_SYNTAX);
  if (wants_help(argc, argv)) {
    usage();
    return 0;
  }
  reg_args a;
  int refused = parse_args(argc, argv, &a);
  if (refused) return refused;
  switch (a.op) {
    case REG_OP_ADD:
      return run_add(a);
    case REG_OP_DELETE:
      return run_delete(a);
    default:
      return run_query(a);
  }
}
