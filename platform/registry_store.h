// Settings store: one text file per hive in REGEDIT4 format, standing in for
// the Windows registry. Key paths are written as in the registry, below the
// hive root and with "\" separators ("Software\Orvanel\Kestrel\Access").
// Key and value names compare without regard to ASCII case and keep the
// spelling they were first written with.
//
// Files: the machine hive is $ORVANEL_HKLM or /etc/orvanel/hklm.reg, the user
// hive $ORVANEL_HKCU or ~/.config/orvanel/hkcu.reg. A missing file is an empty
// hive. The environment is read at every call, so tests may switch stores.
//
// All functions are thread-safe. Readers keep a parsed copy of each hive and
// parse again only when the file's identity (inode, size, mtime) changed.
// Writers take an advisory lock (flock on "<file>.lock"), re-read the file,
// write "<file>.tmp.<pid>" and rename it over the file, so that readers never
// see half a file and concurrent writers from several processes lose nothing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

enum { HIVE_MACHINE = 0, HIVE_USER = 1 };

enum {
  STORE_SZ = 0,     // "Name"="text"
  STORE_OTHER = 1,  // dword:, hex:, hex(n): kept verbatim, read as raw bytes
};

struct store_value {
  std::string name;  // as written
  int type;          // STORE_SZ or STORE_OTHER
  std::string data;  // text of a string value; raw bytes of other types
  std::string raw;   // for STORE_OTHER: the text after "=" exactly as in the file
};

struct store_key {
  std::string path;  // below the hive root, as written, e.g. Software\Orvanel\Kestrel
  std::vector<store_value> values;
};

struct store_document {
  std::vector<store_key> keys;  // in file order
};

// Path of the hive's file (environment or default). Never null.
std::string store_file_path(int hive);

// Reads a value. Returns 1 and fills *out (and *type when given) when the key
// and value exist, else 0.
int store_read_value(int hive, std::string_view key, std::string_view name, std::string* out,
                     int* type = nullptr);

// Sets a string value, creating the key. Returns 1 on success, 0 on failure
// (file cannot be written, lock not had, or a line break in key, name or
// text: the file format has no way to write one).
int store_write_value(int hive, std::string_view key, std::string_view name, std::string_view text);

// Creates a key (and so its parents) without values. Returns 1 when it
// exists afterwards, 0 when the file cannot be written.
int store_create_key(int hive, std::string_view key);

// Deletes a value. Returns 1 when the key exists (whether or not the value
// did), 0 when the key does not exist or the file cannot be written.
int store_delete_value(int hive, std::string_view key, std::string_view name);

// Replaces all values of a key by the string values `values` in one
// replacement of the file, so that a reader sees either the old set or the
// new one, never a mix or an empty key in between. Subkeys stay. Names compare without regard to case;
// of two equal names the later wins. An empty set on a missing key creates
// nothing. Returns 1 on success, 0 on failure (then nothing changed), also
// when a value is not STORE_SZ or any name or text holds a line break.
int store_replace_key_values(int hive, std::string_view key, const std::vector<store_value>& values);

// Deletes a key with all keys below it. Returns 1 when it existed and was
// deleted, else 0.
int store_delete_key(int hive, std::string_view key);

// Lists the values of a key and the names of its direct subkeys. Returns 1
// when the key exists, else 0.
int store_list_key(int hive, std::string_view key, std::vector<store_value>* values,
                   std::vector<std::string>* subkeys);

// A line of a hive's file that sets nothing although it is neither blank,
// a comment, a section nor the header: the parser could not read it.
struct store_line {
  size_t number;     // from 1
  std::string text;  // as in the file, without its line end
};

enum { STORE_FILE_UNREADABLE = 0, STORE_FILE_READ = 1, STORE_FILE_MISSING = 2 };

// Reads the hive's file afresh and lists its unreadable lines in file
// order. Returns STORE_FILE_READ, STORE_FILE_MISSING (an empty hive, no
// lines) or STORE_FILE_UNREADABLE. The Windows registry has no lines:
// always STORE_FILE_READ with none.
int store_check_file(int hive, std::vector<store_line>* unread);

// Parses REGEDIT4 text. Hive prefixes "HKEY_LOCAL_MACHINE\" and
// "HKEY_CURRENT_USER\" are stripped from section names. Malformed lines are
// skipped, and listed in unread when it is given; never fails on any input.
// Exposed for tests and fuzzing.
void store_parse(std::string_view text, store_document* doc, std::vector<store_line>* unread = nullptr);

// Writes a document back as REGEDIT4 text with the given hive root name.
std::string store_format(const store_document& doc, int hive);
