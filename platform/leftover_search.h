// What both backends of upload_leftovers carry through their walk of the
// served directories.
#pragma once

struct leftover_search {
  int (*is_leftover)(const char* name);
  void (*removed)(const char* relative_path, void* context);
  void* context;
  int count;
};
