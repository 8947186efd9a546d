#include "core/file_views.h"

#include <cstdio>
#include <new>

#include "core/session.h"
#include "core/session_table.h"
#include "platform/file_mapping.h"

struct shared_view {
  uint64_t device;
  uint64_t index;
  uint64_t size;
  int64_t modified_ns;
  file_mapping* mapping;
  uint32_t users;
  std::atomic<int> stale;  // the file shrank under it: no new readers
  shared_view* next;
};

static shared_view* views = nullptr;  // under list_lock

static int same_file(const shared_view* v, const file_status* st) {
  return v->device == st->device && v->index == st->index && v->size == st->size &&
         v->modified_ns == st->modified_ns;
}

int open_session_view(tftp_session* session, int fd, const file_status* st) {
  uint64_t size = st->size;
  std::lock_guard<std::mutex> hold(list_lock);
  shared_view* view = nullptr;
  for (shared_view* v = views; v && !view; v = v->next)
    if (!v->stale.load() && same_file(v, st)) view = v;
  if (!view) {
    file_mapping* mapping = map_file_descriptor(fd, size);
    if (!mapping) return 0;
    view = new (std::nothrow) shared_view{st->device, st->index, size, st->modified_ns, mapping, 0, {0}, views};
    if (!view) {
      close_file_mapping(mapping);
      return 0;
    }
    views = view;
  }
  view->users++;
  session->shared = view;
  session->mapping = view->mapping;
  session->view = map_file_view(view->mapping);
  session->file_size = view->size;
  return 1;
}

int copy_from_view(tftp_session* session, uint64_t offset, uint8_t* out, size_t length) {
  shared_view* view = session->shared;
  if (copy_from_mapping(view->mapping, offset, out, length)) return 1;
  view->stale = 1;
  return 0;
}

void release_view(tftp_session* session) {
  std::lock_guard<std::mutex> hold(list_lock);
  shared_view* view = session->shared;
  session->shared = nullptr;
  session->mapping = nullptr;
  session->view = nullptr;
  if (!view || --view->users > 0) return;
  for (shared_view** link = &views; *link; link = &(*link)->next) {
    if (*link == view) {
      *link = view->next;
      break;
    }
  }
  close_file_mapping(view->mapping);
  delete view;
}

void release_file(tftp_session* session) {
  if (session->shared) release_view(session);
  if (session->file) {
    FILE* file;
    {
      std::lock_guard<std::mutex> hold(list_lock);  // the control channel reads the slot
      file = session->file;
      session->file = nullptr;
    }
    fclose(file);
  }
  delete[] session->own.stream_buffer;
  session->own.stream_buffer = nullptr;
  // A completed upload has renamed its file already; anything left is the
  // new file of an upload that failed.
  abandon_upload(&session->own.upload);
}

int mapped_view_count() {
  std::lock_guard<std::mutex> hold(list_lock);
  int n = 0;
  for (shared_view* v = views; v; v = v->next) n++;
  return n;
}
