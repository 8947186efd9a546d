#include "platform/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// Linked only in builds with the leak checker.
extern "C" void __lsan_do_leak_check() __attribute__((weak));

// Looks the user up by name; 1 with its ids, else 0.
static int find_user(const char* name, uint32_t* uid, uint32_t* gid) {
  struct passwd entry, *found = nullptr;
  char text[4096];
  if (getpwnam_r(name, &entry, text, sizeof text, &found) != 0 || !found) return 0;
  *uid = found->pw_uid;
  *gid = found->pw_gid;
  return 1;
}

int find_service_user(char* name, size_t size, uint32_t* uid, uint32_t* gid) {
  for (const char* user : {SERVICE_USER, SERVICE_USER_FALLBACK}) {
    if (strlen(user) < size && find_user(user, uid, gid)) {
      strcpy(name, user);
      return 1;
    }
  }
  return 0;
}

static int failed(char* message, size_t size, const char* step, const char* user) {
  snprintf(message, size, "cannot run as %s: %s failed: %s", user, step, strerror(errno));
  return 0;
}

int drop_privileges(char* message, size_t size) {
  if (size) message[0] = 0;
  if (geteuid() != 0 && getuid() != 0) return 1;
  char user[64];
  uint32_t uid, gid;
  if (!find_service_user(user, sizeof user, &uid, &gid)) {
    errno = ENOENT;
    return failed(message, size, "looking up the user", SERVICE_USER);
  }
  if (uid == 0) {
    errno = EPERM;
    return failed(message, size, "refusing a user with id 0", user);
  }
  // Capabilities survive the change of user only when asked to; all but the
  // one for low data ports are dropped below.
  if (prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return failed(message, size, "prctl(PR_SET_KEEPCAPS)", user);
  if (setgroups(1, &gid) != 0) return failed(message, size, "setgroups", user);
  if (setresgid(gid, gid, gid) != 0) return failed(message, size, "setresgid", user);
  if (setresuid(uid, uid, uid) != 0) return failed(message, size, "setresuid", user);
  prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  data[0].effective = data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
  if (syscall(SYS_capset, &header, data) != 0) return failed(message, size, "capset", user);
  // Proof that there is no way back.
  if (setuid(0) == 0 || geteuid() == 0 || getegid() == 0) {
    errno = EPERM;
    return failed(message, size, "checking that root cannot be regained", user);
  }
  // The leak checker of sanitizer builds stops the threads with ptrace at
  // exit, which the kernel refuses for a process that changed its user.
  if (__lsan_do_leak_check) prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
  return 1;
}
