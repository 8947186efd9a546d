// Multicast reads: placing requests into groups and passing the master role.
#pragma once

struct tftp_session;

// Places an accepted octet multicast read into a group: a plain member of
// the running group whose live master reads the same path (any letter case),
// mode and block size, else the master of a new group on the first free port
// of MulticastPort..MulticastLast. With no port free the session loses
// OPT_MULTICAST and is served by unicast. Returns 1 when a new group was
// opened with this session as master, else 0. Server loop thread only, before
// the session is listed.
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
// the newest live member of its group and drops its own flag. A plain
// member that ends promotes nobody, so a group never has two masters.
void hand_over_master(tftp_session* session);

// The wait of a plain member after its OACK went unanswered: waits for ACKs
// until the session becomes master or the server stops. Returns -1 to go on
// (promoted, or stopping), else the transfer's RESULT_ value: completed when
// the client reports the whole file, aborted on an ERROR, time-out when the
// wait fails.
int wait_as_member(tftp_session* session);

// Sets the data socket's multicast time-to-live to MulticastTTL unless that
// is 1 (the system default is kept). Returns 1, or 0 when the option fails.
int set_multicast_ttl(const tftp_session* session);
