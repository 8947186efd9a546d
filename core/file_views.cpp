#include "core/file_views.h"

#include <unistd.h>

#include <cstring>

#include "core/session.h"
#include "platform/file_mapping.h"
#include "platform/file_open.h"

// Paths compare exactly: names differing only in case are different files here.
static int same_path(const tftp_session* a, const char* path) { return strcmp(a->path, path) == 0; }

int share_mapping(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  for (tftp_session* s = session_list; s; s = s->next) {
    // A view of a file that has since been replaced or changed is not handed on.
    if (s->thread.load() != -1 && s->mapped && same_path(s, session->path) && s->mapping && s->view &&
        s->file_size.load() != 0 && file_mapping_is_current(s->mapping, session->path)) {
      session->mapping = s->mapping;
      session->view = s->view;
      session->file_size = s->file_size.load();
      mapping_borrower = session;
      return 1;
    }
  }
  return 0;
}

int open_session_mapping(tftp_session* session) {
  // Under the lock, so that an upload cannot cut the file between its check
  // for readers and this mapping.
  std::lock_guard<std::mutex> hold(list_lock);
  uint32_t size = 0;
  file_mapping* mapping = open_file_mapping(session->path, &size);
  if (!mapping) return 0;
  session->mapping = mapping;
  session->view = map_file_view(mapping);
  session->file_size = size;
  mapping_borrower = session;
  return 1;
}

int start_upload_file(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  int mapped = mapping_borrower && mapping_borrower->view && same_path(mapping_borrower, session->path);
  for (tftp_session* s = session_list; s && !mapped; s = s->next)
    mapped = s->thread.load() != -1 && s->mapped && s->view && same_path(s, session->path);
  if (!mapped) return truncate_write_stream(session->file);
  unlink(session->path);
  int created;
  FILE* fresh = open_write_stream(session->path, &created);
  if (!fresh) return 0;
  fclose(session->file);
  session->file = fresh;
  return 1;
}

void release_mapping(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  const uint8_t* view = session->view;
  file_mapping* mapping = session->mapping;
  session->view = nullptr;
  session->mapping = nullptr;
  if (!view) return;
  if (mapping_borrower == session) {
    mapping_borrower = nullptr;
  } else if (mapping_borrower && mapping_borrower->view == view) {
    return;  // a session being set up is about to read this view
  }
  for (tftp_session* s = session_list; s; s = s->next)
    if (s != session && s->thread.load() != -1 && s->view == view) return;
  close_file_mapping(mapping, view);
}

void release_file(tftp_session* session) {
  if (session->mapped) {
    release_mapping(session);
  } else if (session->file) {
    FILE* file;
    {
      std::lock_guard<std::mutex> hold(list_lock);  // the control channel reads the slot
      file = session->file;
      session->file = nullptr;
    }
    fclose(file);
  }
}
