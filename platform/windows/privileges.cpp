#include "platform/privileges.h"

#include <cstring>

// A Windows service runs under the account its installation names; nothing
// changes at run time.
int drop_privileges(char* message, size_t size) {
  if (size) message[0] = 0;
  return 1;
}

int find_service_user(char* name, size_t size, uint32_t* uid, uint32_t* gid) {
  if (strlen(SERVICE_USER) >= size) return 0;
  strcpy(name, SERVICE_USER);
  *uid = *gid = 0;
  return 1;
}
