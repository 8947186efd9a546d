#include "platform/upload_leftovers.h"
#include "platform/leftover_search.h"

#include <windows.h>

#include <string>

// An upload keeps its file open; an open file cannot be opened for
// deletion without sharing, so a held one is never taken.
int hold_upload_file(int) { return 1; }

static std::wstring wide_of(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

static std::string narrow_of(const wchar_t* text) {
  int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 1) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// Deletes the file when it is a plain file nobody has open: opened
// exclusively, without following a reparse point, deleted as it closes.
static int remove_unheld(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  int plain = GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  int removed = plain && SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition);
  CloseHandle(h);
  return removed;
}

static void search_directory(leftover_search* search, const std::wstring& directory, const std::string& prefix,
                             int depth) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = narrow_of(found.cFileName);
    if (name.empty() || name == "." || name == "..") continue;
    // Junctions and links are neither entered nor removed.
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    std::wstring path = directory + L"\\" + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (depth < LEFTOVER_DEPTH_MAX) search_directory(search, path, prefix + name + "\\", depth + 1);
    } else if (search->is_leftover(name.c_str()) && remove_unheld(path)) {
      search->count++;
      if (search->removed) search->removed((prefix + name).c_str(), search->context);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

int remove_leftover_files(const char* directory, int (*is_leftover)(const char* name),
                          void (*removed)(const char* relative_path, void* context), void* context) {
  std::wstring start = wide_of(directory);
  while (!start.empty() && (start.back() == L'\\' || start.back() == L'/')) start.pop_back();
  if (start.empty()) return 0;
  leftover_search search{is_leftover, removed, context, 0};
  search_directory(&search, start, "", 0);
  return search.count;
}
