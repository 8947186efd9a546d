// The access-rule editor without a window: the rule rows loaded from the
// Access subkey, the edits the dialog makes to them, and the save that
// rewrites the subkey. The dialog shows one list row per access_row.
//
// Rules are stored one text value per rule, named "<directory>\<n>" with n
// counted from 0 without gaps; the directory is "%root%" for the root itself
// and the name of a first-level subdirectory otherwise. The text is the
// rights letters r, w, o (o only with w), optionally "," and the first
// address, optionally "-" and the last address.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr const char* ACCESS_ROOT_NAME = "%root%";
constexpr const char* ACCESS_ANY_ADDRESS = "*";  // column text of a rule without a range

// Row images: the rights shown as a folder.
enum { ACCESS_IMAGE_NONE = 0, ACCESS_IMAGE_READ = 1, ACCESS_IMAGE_WRITE = 2, ACCESS_IMAGE_READ_WRITE = 3 };

struct access_row {
  std::string directory;  // "%root%" or a first-level subdirectory's name
  std::string rights;     // column 1: "", "r", "w", "rw", "wo", "rwo"
  std::string first;      // column 2: the first address, "*" for every address
  std::string last;       // column 3: the last address, or empty
};

// "%root%" and then the first-level subdirectories of root that are
// directories beneath it (a link leading out of the root is none), sorted.
// Names the store cannot hold (line breaks) and names equal but for case to
// one already listed (the store does not tell them apart) are left out.
// Returns the number of names; only "%root%" when root cannot be opened.
size_t list_rule_directories(const char* root, std::vector<std::string>* names);

// Appends the rows of one directory as the server reads its rules: up to the
// first missing position, skipping rules whose addresses are not valid.
// A directory without rules gets one empty row. Returns the rows added.
size_t add_directory_rules(const std::string& directory, std::vector<access_row>* rows);

// All rows: the root's first, then each subdirectory's (list_rule_directories).
void load_access_rows(const char* root, std::vector<access_row>* rows);

// The stored text of a row ("" for a row with neither rights nor range).
std::string access_rule_text(const access_row& row);

// Rewrites the Access subkey from the rows in one replacement: each
// directory's rules numbered from 0 in row order, empty rows and rows of
// directories that are no longer beneath root dropped. Returns 1 or 0.
int save_access_rows(const char* root, const std::vector<access_row>& rows);

// OK of the dialog: stores AccessControl, loads it, and saves the rules, in
// the order that lets no request meet a state that is neither the old one
// nor the new one. Returns 1 when everything was stored.
int apply_access_editor(int access_control, const char* root, const std::vector<access_row>& rows);

// ---- edits of the rows

// Column 0: the root's path for "%root%", else three blanks and the name.
std::string access_directory_text(const access_row& row, const std::string& root);
int access_rights_image(const std::string& rights);

// Letters from the three check boxes: "o" only with "w".
std::string access_rights_from_boxes(int read, int write, int overwrite);

// Rights as stored, brought to the editor's form (order r, w, o; "o" only
// with "w"; other letters dropped): what the server makes of them.
std::string normalize_access_rights(const std::string& rights);

// A dotted quad or an IPv6 address the server takes as an address (not the
// any-address).
int is_access_address(const std::string& text);

// 1 when both texts are addresses of the same family: a range across
// families covers nobody.
int same_access_family(const std::string& first, const std::string& last);

// The row may be removed: the row above or below is of the same directory,
// so the last row of a directory stays.
int access_row_removable(const std::vector<access_row>& rows, int row);

// Inserts an empty row of the same directory below row. Returns the new
// row's index, or -1 when row is no row.
int new_access_row(std::vector<access_row>* rows, int row);

// Deletes row when access_row_removable. Returns 1 when deleted.
int remove_access_row(std::vector<access_row>* rows, int row);

// Typing in the first or last address edit: an invalid text, or an address
// of another family than the range's other end, leaves the row as it was
// (returns 0); an empty text is no address. Returns 1 when the
// row took the text.
int set_access_first_address(access_row* row, const std::string& text);
int set_access_last_address(access_row* row, const std::string& text);
