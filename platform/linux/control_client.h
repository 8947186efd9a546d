// Who is connected to the control channel: the credentials the kernel
// recorded when the client connected.
#pragma once

#include <sys/types.h>

struct pipe_client {
  uid_t uid;
  gid_t gid;
  gid_t groups[64];
  int group_count;
};

// act_as_client judges the client from its credentials: the store needs no
// probe write (the running server writes nothing under /etc).
constexpr int CLIENT_JUDGED_BY_CREDENTIALS = 1;

// 1 when the client could itself write the machine hive of the settings
// store (replace its file), judged from its credentials.
int client_may_write_settings(const pipe_client* client);
