// The record of one transfer and the core's shared state.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "core/wire.h"
#include "platform/file_open.h"
#include "platform/ip_address.h"

struct file_mapping;
struct shared_view;
struct multicast_group;
struct window_buffers;
struct poller;

// The options the control channel's record carries; windowsize is told by
// window_size beyond it.
constexpr uint32_t RECORD_OPTION_BITS = OPT_BLKSIZE | OPT_TIMEOUT | OPT_TSIZE | OPT_MULTICAST;
// A transfer's result; RESULT_RUNNING also tells a step of a transfer to go on.
enum { RESULT_RUNNING = -1, RESULT_OK = 0, RESULT_TIMEOUT = 1, RESULT_ABORTED = 2, RESULT_FAILED = 3 };

constexpr int SESSION_PATH_SIZE = 260;
constexpr int SESSION_ERROR_TEXT_SIZE = 128;
constexpr int SESSION_RECORD_SIZE = 484;  // size of the record as the control channel sends it

// Where a netascii read stands: the disk offsets at which recent blocks
// began, so that a block sent again is read again from the same place.
constexpr int NETASCII_RECENT = 4;
struct netascii_reader {
  int64_t block_start[NETASCII_RECENT];  // disk offset of block index, or -1
  uint32_t block_index[NETASCII_RECENT];
  int ended;                            // 0x1A seen
  // A windowed read remembers every block of its window here instead
  // (window_slots entries each), since a window goes out again from any of
  // them; nullptr otherwise.
  int64_t* window_start;
  uint32_t* window_index;
  uint32_t window_slots;
};

// What a transfer keeps to itself: set up by the server loop while it
// looks at the request, then the transfer loop's that runs it. No other
// thread reads it.
struct transfer_own {
  netascii_reader text;
  upload_file upload;           // a write request's new file and its name
  int overwrite;                // the upload may replace an existing file
  window_buffers* window;       // what a windowed read sends its batches from
  char* stream_buffer;          // an octet read's stream buffer, freed after its stream

  int state;               // the step the transfer is at: a READ_ or WRITE_ state
  int64_t deadline_ms;     // when its time-out falls due (monotonic clock)
  int64_t started_ms;      // when it began, for the duration in its result line
  uint32_t tries;          // time-outs in a row at this step
  uint32_t retransmit;     // Retransmit as it was when the transfer began
  int windowed;            // a read with the windowsize option
  int ahead;               // a lockstep read has the next block out too
  int64_t turn_ms;         // a waiting multicast member: end of its time-out
  uint32_t acked;          // the client holds every block up to this one
  uint32_t best;           // windowed read: the furthest ACK of this round
  uint32_t sent_end;       // windowed read: the last block sent
  uint32_t final_block;    // windowed read: the short last block, once loaded
  uint32_t gap_answered;   // upload: the block a gap was last answered with
  uint32_t write_window;   // upload: blocks the client sends before it waits
  uint64_t written;        // upload: bytes stored
  int loop_slot;           // its place in its transfer loop
  int unlogged;            // it never began: no result line
};

// One transfer. Fields that other threads read while the transfer runs are
// atomic, or written under list_lock where a comment says so; each says
// who writes it. Until it is handed to a transfer loop, the server loop writes them all.
struct tftp_session {
  // The record the control channel sends (write_session_record), written by the transfer loop:
  uint16_t opcode;
  std::atomic<uint32_t> block;
  int32_t mode;
  uint32_t option_flags;
  uint16_t block_size;
  std::atomic<uint64_t> file_size;  // 64 bits: stream reads and uploads may pass 4 GiB
  uint32_t timeout;
  std::atomic<int> data_socket;     // closed under list_lock
  std::atomic<int32_t> result;      // RESULT_ value: RESULT_RUNNING while it runs
  uint32_t mapped;
  file_mapping* mapping;            // set and cleared under list_lock
  const uint8_t* view;              // set and cleared under list_lock
  FILE* file;                       // set and cleared under list_lock
  uint32_t multicast_ip;  // network order
  uint16_t client_port;   // network order
  uint16_t multicast_port;
  std::atomic<uint32_t> multicast_master;  // the group's members write it under list_lock
  std::atomic<int> thread;  // 0 not started, a positive token while running, -1 ended
  std::atomic<uint32_t> seek_block;
  std::atomic<int32_t> data_len;
  std::atomic<uint8_t*> packet;
  std::atomic<int32_t> next_data_len;
  std::atomic<uint8_t*> next_packet;
  char path[SESSION_PATH_SIZE];
  char error_text[SESSION_ERROR_TEXT_SIZE];  // written under list_lock (set_error_text)
  tftp_session* next;                        // the session table's, under list_lock

  // Read by other threads beyond the record:
  ip_address client_address;   // the client's, of either family (server loop, before the session is listed)
  ip_address local_address;    // where the request was sent: the data socket's address (server loop)
  uint32_t window_size;        // blocks per window with OPT_WINDOWSIZE (1..65535); the server loop's
  uint16_t base_length;        // path[0..base_length) is the directory files are opened beneath
  uint64_t file_device;        // identity of the file read, for shared views and groups
  uint64_t file_inode;
  shared_view* shared;         // the view this session reads, under list_lock
  multicast_group* group;      // the group of a multicast read, under list_lock
  std::atomic<int> counted;    // 1 while the session holds a slot of the Clients limit (session table)
  std::atomic<int> evicted;    // its slot was taken over: its loop ends it at once (server loop)
  std::atomic<int> progressed;  // the client has moved it past its first packet (transfer loop)
  std::atomic<int64_t> last_progress_ms;  // monotonic time the client last moved the transfer (transfer loop)
  std::atomic<poller*> waker;  // the transfer loop that runs it, woken to end it early (server loop)

  // The server loop's alone:
  uint64_t request_digest;     // of the request that started it
  int refusal_message;         // index into error_texts of a refused request, else -1

  transfer_own own;
};

// Shared state of the server core (the session list and its lock are the
// session table's).
extern std::atomic<int> server_stop;
extern std::atomic<int> server_paused;
extern std::atomic<int> listen_socket;

// A zeroed session with no socket and no thread, or nullptr.
tftp_session* new_session();
void free_session(tftp_session* session);

// The transfer's next deadline: its time-out from now, in own.deadline_ms.
void start_session_timeout(tftp_session* session);

// 1 while the session's socket or transfer is still there (a session being
// set up, whose transfer has not begun, is live).
int session_is_live(const tftp_session* session);

// The result that the control channel and the window show: a refused
// request's message index (which every reader takes for a refusal), else
// the RESULT_ value.
int32_t shown_result(const tftp_session* session);

// 1 once the session has been handed to a transfer loop (it may have ended since); a
// session listed while its request is still looked at has not.
int session_has_started(const tftp_session* session);

// Writes the record in its fixed 484-byte little-endian layout for the
// control channel. Call with list_lock held. Pointer and handle slots carry 0 when absent and a
// nonzero token when present; thread is -1 once the transfer has ended.
void write_session_record(const tftp_session* session, uint8_t out[SESSION_RECORD_SIZE]);
