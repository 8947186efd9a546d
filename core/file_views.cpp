#include "core/file_views.h"

#include <cstring>

#include "core/session.h"
#include "platform/file_mapping.h"

// Paths compare exactly: names differing only in case are different files here.
static int same_path(const tftp_session* a, const char* path) { return strcmp(a->path, path) == 0; }

int share_mapping(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  for (tftp_session* s = session_list; s; s = s->next) {
    if (s->thread.load() != -1 && s->mapped && same_path(s, session->path) && s->mapping && s->view &&
        s->file_size.load() != 0) {
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
  uint32_t size = 0;
  file_mapping* mapping = open_file_mapping(session->path, &size);
  if (!mapping) return 0;
  session->mapping = mapping;
  session->view = map_file_view(mapping);
  session->file_size = size;
  return 1;
}

int path_is_mapped(const char* path) {
  std::lock_guard<std::mutex> hold(list_lock);
  for (tftp_session* s = session_list; s; s = s->next)
    if (s->thread.load() != -1 && s->mapped && s->view && same_path(s, path)) return 1;
  return mapping_borrower && mapping_borrower->view && same_path(mapping_borrower, path);
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
    fclose(session->file);
    session->file = nullptr;
  }
}
