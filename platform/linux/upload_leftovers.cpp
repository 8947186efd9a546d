#include "platform/upload_leftovers.h"
#include "platform/leftover_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

int hold_upload_file(int fd) {
  // flock's lock goes with the open file and ends with the process, crash
  // or not: exactly the life of the upload that made the file.
  return flock(fd, LOCK_EX | LOCK_NB) == 0;
}

// Removes the file `name` of the directory open on dir when it is a regular
// file that no upload holds. Returns 1 when it was removed.
static int remove_unheld(int dir, const char* name) {
  int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat held, now;
  int removed = 0;
  if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == held.st_dev &&
      now.st_ino == held.st_ino) {
    // The name still leads to the file we locked: no one swapped it since.
    removed = unlinkat(dir, name, 0) == 0;
  }
  close(fd);
  return removed;
}

// Searches the directory open on dir (which it closes); prefix is its path
// relative to the start, empty or ending with "/".
static void search_directory(leftover_search* search, int dir, const std::string& prefix, int depth) {
  DIR* listing = fdopendir(dir);
  if (!listing) {
    close(dir);
    return;
  }
  for (;;) {
    errno = 0;
    dirent* entry = readdir(listing);
    if (!entry) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat st;
      if (fstatat(dirfd(listing), name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISREG(st.st_mode) ? DT_REG : DT_LNK;
    }
    if (type == DT_REG && search->is_leftover(name)) {
      if (remove_unheld(dirfd(listing), name)) {
        search->count++;
        if (search->removed) search->removed((prefix + name).c_str(), search->context);
      }
    } else if (type == DT_DIR && depth < LEFTOVER_DEPTH_MAX) {
      // O_NOFOLLOW: a link put in place of the directory since the listing
      // is not entered.
      int child = openat(dirfd(listing), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) search_directory(search, child, prefix + name + "/", depth + 1);
    }
  }
  closedir(listing);
}

int remove_leftover_files(const char* directory, int (*is_leftover)(const char* name),
                          void (*removed)(const char* relative_path, void* context), void* context) {
  int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return 0;
  leftover_search search{is_leftover, removed, context, 0};
  search_directory(&search, dir, "", 0);
  return search.count;
}
