// Request datagrams of any shape: parsing must stay inside the datagram,
// never leave anything open on a refusal, and never resolve a path outside
// the root directory or a Prefix directory.
#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "core/file_views.h"
#include "core/packets.h"
#include "core/request.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "platform/registry_store.h"

static std::string root;
static std::string prefix;

static void set_up() {
  char base[] = "/tmp/fuzz-request-XXXXXX";
  std::string dir = mkdtemp(base);
  root = dir + "/root/";
  prefix = dir + "/images";
  mkdir(root.c_str(), 0755);
  mkdir(prefix.c_str(), 0755);
  mkdir((root + "pub").c_str(), 0755);
  FILE* f = fopen((root + "a.bin").c_str(), "wb");
  fputs("some data\r\n\x1a", f);
  fclose(f);
  setenv("ORVANEL_HKLM", (dir + "/hklm.reg").c_str(), 1);
  const char* key = "Software\\Orvanel\\Kestrel";
  store_write_value(HIVE_MACHINE, key, "RootDirectory", root);
  store_write_value(HIVE_MACHINE, key, "Prefix", prefix + ";/nonexistent/dir");
  store_write_value(HIVE_MACHINE, key, "AccessControl", "1");
  store_write_value(HIVE_MACHINE, key, "MMF", "3");
  store_write_value(HIVE_MACHINE, key, "Log", "0");
  store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access", "%root%\\0", "rw,127.0.0.1-127.0.0.9");
  store_write_value(HIVE_MACHINE, "Software\\Orvanel\\Kestrel\\Access", "pub\\0", "rwo");
  load_settings(SETTINGS_KEY);
}

static int inside(const char* path, const std::string& directory) {
  return strncmp(path, directory.c_str(), directory.size()) == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int ready = (set_up(), 1);
  (void)ready;
  if (size > REQUEST_BUFFER_SIZE) return 0;
  // Exactly the datagram's bytes on the heap, so any read past them is seen.
  std::unique_ptr<char[]> buffer(new char[size]);
  if (size) memcpy(buffer.get(), data, size);
  tftp_session* s = new_session();
  s->client_address = ipv4_address(htonl(0x7F000001));
  int code = parse_request(buffer.get(), size, s);
  if (code == -1) {
    if (!inside(s->path, root) && !inside(s->path, prefix + "/")) abort();
    if (strstr(s->path, "..")) abort();
    if (!s->file && !s->view) abort();
    release_file(s);
  } else if (s->file || s->view || s->mapping) {
    abort();  // a refusal holds nothing
  }
  free_session(s);
  return 0;
}
