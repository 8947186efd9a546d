// Language modules without the toolkit: which modules lie beside the
// program, which one is chosen, and how the choice is stored. A module is a
// file "Languages/<name>.xrs" in the program's directory; loading its
// strings and templates is the window's part, and a string the module
// lacks falls back to the program's own (load_ui_string).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr size_t LANGUAGE_NAME_MAX = 31;  // the "Language" value, as the loader reads it
constexpr const char* LANGUAGE_DIRECTORY = "Languages/";
constexpr const char* LANGUAGE_GERMAN_MODULE = "deutsch.xrs";

struct language_module {
  std::string module;     // shown in the Module column: the file name, first letter upper case
  std::string file_name;  // as on disk
};

// The regular files "*.xrs" (suffix in any case) in program_directory +
// "Languages/", sorted by their Module text. Names longer than the
// "Language" value holds are left out: they could be listed but never
// stay chosen. Returns their number.
size_t list_language_modules(const char* program_directory, std::vector<language_module>* modules);

// The Module column of the Language page: the built-in row and every
// module, sorted (letter case ignored).
std::vector<std::string> language_list_rows(const std::vector<language_module>& modules,
                                            const std::string& builtin_name);

// The module named by the user's language: German when the first set of
// LC_ALL, LC_MESSAGES and LANG is "de" or begins with "de_", "de." or
// "de@"; else "" (the built-in English).
std::string language_from_environment(const char* lc_all, const char* lc_messages, const char* lang);

// The module to load: the stored "Language" value when it is set, else the
// environment's choice; "" for the built-in texts.
std::string choose_language_module(const std::string& stored, const char* lc_all, const char* lc_messages,
                                   const char* lang);

// Full path of the module file called name beneath the program's
// "Languages/" (letter case ignored when no file has the exact name), or ""
// when name is empty, not a plain file name, too long, or no such file.
std::string language_module_path(const char* program_directory, const std::string& name);

// The whole choice at start-up and after the Language page's Apply: the
// stored value and this process's environment. "" means built-in.
std::string resolve_language_module(const char* program_directory);

// The Language page's Apply: the built-in row deletes "Language", any
// other is stored. Returns 1, or 0 when the name cannot be stored.
int store_language_choice(const std::string& module, const std::string& builtin_name);
