// The UI string table: the program's own English texts, and the texts of a
// language module, which take precedence where they are present.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

enum {
  UI_LANGUAGE_NAME = 1,
  UI_MODULE_VERSION = 2,
  UI_ROOT_BROWSER_TITLE = 4,
  UI_COLUMN_MODULE = 5,
  UI_COLUMN_LANGUAGE = 6,
  UI_COLUMN_VERSION = 7,
  UI_PREFERENCES = 8,
  UI_DIALOG_FAILED = 10,
  UI_COLUMN_DATE = 11,
  UI_COLUMN_TIME = 12,
  UI_COLUMN_ADDRESS = 13,
  UI_COLUMN_OPERATION = 14,
  UI_COLUMN_FILE = 15,
  UI_COLUMN_DURATION = 16,
  UI_NEW_ENTRY = 17,
  UI_REMOVE_ENTRY = 18,
  UI_COLUMN_DIRECTORY = 19,
  UI_COLUMN_HOSTS = 20,
  UI_TRAY_VIEW_LOG = 21,
  UI_TRAY_EXIT = 22,
  UI_TRAY_START = 23,
  UI_TRAY_STOP = 24,
  UI_ACTIVE_CLIENTS = 25,
  UI_LISTENING = 26,
  UI_FAILED_TO_LISTEN = 27,
  UI_SERVER_PAUSED = 28,
  UI_COLUMN_STATUS = 30,
  UI_PRINT_FAILED = 31,
};

// The program's own text of id, or nullptr when the table has none.
const char* builtin_ui_string(int id);

// Texts of the loaded language module by id; empty when none is loaded.
extern std::map<int, std::string> module_ui_strings;

// Copies the module's text of id into buffer, or the program's own when the
// module has none or an empty one (an empty buffer when neither has it).
// Returns buffer.
char* load_ui_string(int id, char* buffer, size_t size);

// Formats UI string id, which holds one "%u", with value. A text from a
// module with any other conversion is not used as a format: the program's
// own text is. Returns buffer.
char* format_ui_number(int id, uint32_t value, char* buffer, size_t size);

// A module's string table: one "id<TAB>text" per line (CR LF or LF), "#"
// lines are comments; lines without a tab or with an id outside 1..65535
// are skipped, a later line of the same id wins. Adds to out.
void parse_module_strings(std::string_view text, std::map<int, std::string>* out);

// 1 when text holds exactly one "%u" and no other conversion than "%%".
int is_number_format(const char* text);
