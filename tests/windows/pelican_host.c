/* A Windows host program of pelican.dll, as an administrator's tool would
 * be written: tftp_client through the import library, tftp_tsize through it
 * and through GetProcAddress under both names the DLL exports.
 *
 *   pelican_host "command line" ["command line" ...]
 *
 * Prints for each call one line
 *   call N code C result R size S
 * and exits 0 when both names were found and every way of asking gave the
 * same result and size, 2 when a name is missing, 3 when they disagreed,
 * 1 for a usage error. */
#include <windows.h>

#include <stdint.h>
#include <stdio.h>

#include "client/pelican.h"

typedef int (*tsize_procedure)(uint32_t *size);

static tsize_procedure find_tsize(HMODULE module, const char *name) {
  FARPROC found = GetProcAddress(module, name);
  if (!found) fprintf(stderr, "pelican_host: pelican.dll exports no %s\n", name);
  /* Through the type that matches every function, as the warning asks. */
  return (tsize_procedure)(void (*)(void))found;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: pelican_host \"command line\" ...\n");
    return 1;
  }
  HMODULE module = LoadLibraryA("pelican.dll");
  if (!module) {
    fprintf(stderr, "pelican_host: LoadLibrary(pelican.dll) failed (%lu)\n", GetLastError());
    return 2;
  }
  tsize_procedure plain = find_tsize(module, "tftp_tsize");
  tsize_procedure decorated = find_tsize(module, "_tftp_tsize@4");
  if (!plain || !decorated) return 2;

  int status = 0;
  for (int i = 1; i < argc; i++) {
    int code = tftp_client(argv[i]);
    uint32_t size = 0xDEADBEEF, plain_size = 0xDEADBEEF, decorated_size = 0xDEADBEEF;
    int result = tftp_tsize(&size);
    int plain_result = plain(&plain_size);
    int decorated_result = decorated(&decorated_size);
    printf("call %d code %d result %d size %lu\n", i, code, result, (unsigned long)size);
    if (plain_result != result || decorated_result != result || plain_size != size ||
        decorated_size != size) {
      printf("call %d disagrees: tftp_tsize %d %lu, _tftp_tsize@4 %d %lu\n", i, plain_result,
             (unsigned long)plain_size, decorated_result, (unsigned long)decorated_size);
      status = 3;
    }
    fflush(stdout);
  }
  FreeLibrary(module);
  return status;
}
