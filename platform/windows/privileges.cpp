#include "platform/privileges.h"

#include <cstring>

// A Windows service runs under the account its installation names; nothing
// changes at run time.
int drop_privileges(char* message, size_t size) {
  if (size) message[0] = 0;
  return 1;
}

int service_user_name(char* buffer, size_t size) {
  if (strlen(SERVICE_USER) >= size) return 0;
  strcpy(buffer, SERVICE_USER);
  return 1;
}
