// Multicast reads: placing requests into groups and passing the master role.
//
// A group is one stream of one file (by identity: device and inode), mode
// and block size, on one group port; its sessions are counted, so its port
// is in use exactly while a session of it lives. Groups, their counts and
// master flags change under list_lock.
#pragma once

#include <cstdint>

struct tftp_session;

// Places an accepted octet multicast read whose file is open (file_device,
// file_inode set) into a group: a plain member of the group that streams the
// same file, mode and block size, else the master of a new group on the
// first free port of MulticastPort..MulticastLast. With no port free the
// session loses OPT_MULTICAST and is served by unicast. Returns 1 when a new
// group was opened with this session as master, else 0.
int assign_multicast_group(tftp_session* session);

// Group DATA leave from the master's data socket, and clients check that
// DATA come from the port of their own transfer; so all sessions of a group
// share one data port, each with its socket connected to its own client.
//
// A new group's master: lets its bound data socket share its port and
// records the port as the group's. Returns 1, or 0 when that fails (its
// members then get ports of their own).
int share_group_data_port(tftp_session* session);

// A member's data socket on its group's data port, or -1 when the group has
// none or the port cannot be shared (the caller then binds as usual).
int open_member_data_socket(const tftp_session* session);

// At the end of a multicast session: an ending master passes its role to
// the newest member of its group, and the session leaves the group (the last
// one frees it and its port). A plain member that ends promotes nobody.
void leave_multicast_group(tftp_session* session);

// The master's client moved the stream on: the whole group made progress.
void note_group_progress(tftp_session* session);

// The progress of the group the member session waits in (the monotonic
// time its master's client last moved the stream).
int64_t group_progress_ms(const tftp_session* session);

// Sets the data socket's multicast time-to-live to MulticastTTL unless that
// is 1 (the system default is kept). Returns 1, or 0 when the option fails.
int set_multicast_ttl(const tftp_session* session);

// Groups open right now (tests).
int multicast_group_count();
