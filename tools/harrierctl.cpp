// harrierctl: the administrator's client of a running harrier's control
// channel. Shows and changes the pause state, reloads settings groups and
// lists the transfers with their progress and result.
#include <pwd.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "core/little_endian.h"
#include "core/printable.h"
#include "core/program_switches.h"
#include "platform/ip_address.h"
#include "platform/privileges.h"
#include "service/control_pipe.h"

constexpr size_t MESSAGE_SIZE = PIPE_BUFFER_SIZE;
constexpr size_t RECORD_OFFSET = 8;  // status and active transfers come first
constexpr uint32_t LIST_LIMIT = 100000;

enum { CHANNEL_NONE = -1, CHANNEL_UNTRUSTED = -2 };

// A harrier listens as root (before it gives root up) or as the service
// user: any other listener is someone who took the channel's path to
// answer in harrier's place, and is told nothing and believed in nothing.
static int listener_is_trusted(int s, const std::string& path) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    fprintf(stderr, "harrierctl: cannot tell who listens on %s: %s\n", printable_text(path).c_str(),
            strerror(errno));
    return 0;
  }
  char service[64];
  snprintf(service, sizeof service, "%s", SERVICE_USER);
  uint32_t service_uid = 0, service_gid = 0;
  int known = find_service_user(service, sizeof service, &service_uid, &service_gid);
  if (peer.uid == 0 || (known && service_uid == peer.uid)) return 1;
  const passwd* owner = getpwuid(peer.uid);
  fprintf(stderr,
          "harrierctl: %s is held by uid %u (%s), pid %d, which is neither root nor the service user %s: "
          "refusing to talk to it\n",
          printable_text(path).c_str(), static_cast<unsigned>(peer.uid),
          owner ? printable_text(owner->pw_name).c_str() : "no such user", static_cast<int>(peer.pid), service);
  return 0;
}

// Connects to the channel at path and checks who listens. Returns the
// socket, CHANNEL_NONE or CHANNEL_UNTRUSTED.
static int connect_channel(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return CHANNEL_NONE;
  memcpy(address.sun_path, path.data(), path.size());
  int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (s < 0) return CHANNEL_NONE;
  // The send limit also bounds a connect that waits for room in a full queue.
  timeval wait{5, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  if (connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(s);
    return CHANNEL_NONE;
  }
  if (!listener_is_trusted(s, path)) {
    close(s);
    return CHANNEL_UNTRUSTED;
  }
  return s;
}

// Sends one request and receives its reply into reply (MESSAGE_SIZE bytes).
// Returns the reply's length, or -1 when the server did not answer.
static long request(int s, uint32_t command, uint32_t index, uint8_t* reply) {
  uint8_t message[8];
  put32(message, command);
  put32(message + 4, index);
  if (send(s, message, command == PIPE_SESSION || command == PIPE_SESSION_ADDRESS ? 8 : 4, MSG_NOSIGNAL) < 0) return -1;
  ssize_t n = recv(s, reply, MESSAGE_SIZE, 0);
  return n < 4 ? -1 : static_cast<long>(n);
}

static const char* result_name(int32_t result, int live) {
  switch (result) {
    case -1: return live ? "running" : "ended";
    case 0: return live ? "ending" : "done";
    case 1: return "timeout";
    case 2: return "aborted";
    case 3: return "failed";
    default: return "refused";
  }
}

// The client as "address:port": an IPv4 address right-aligned in 15
// columns as always, an IPv6 one in brackets (RFC 5952) and as wide as it is.
// Without address_part (a server that only knows command 8), the record's
// IPv4 field is all there is.
static std::string client_text(const uint8_t* r, const uint8_t* address_part) {
  ip_address client = ipv4_address(0);
  memcpy(client.bytes, r + 52, 4);
  if (address_part && get32(address_part) == IP_V6) {
    uint8_t bytes[16];
    memcpy(bytes, address_part + 4, 16);
    client = ipv6_address(bytes, get32(address_part + 20));
  }
  char text[IP_TEXT_SIZE], out[IP_TEXT_SIZE + 16];
  format_ip_address(client, text);
  unsigned port = static_cast<unsigned>(r[60] << 8 | r[61]);
  if (client.family == IP_V6)
    snprintf(out, sizeof out, "[%s]:%-5u", text, port);
  else
    snprintf(out, sizeof out, "%15s:%-5u", text, port);
  return out;
}

static void print_record(uint32_t index, const uint8_t* r, const uint8_t* address_part) {
  static const char* const modes[] = {"none", "mail", "netascii", "octet"};
  uint16_t opcode = get16(r + 0);
  uint32_t block = get32(r + 4);
  uint32_t mode = get32(r + 8);
  uint16_t block_size = get16(r + 16);
  uint32_t file_size = get32(r + 20);
  int live = get32(r + 28) != 0xFFFFFFFFu || get32(r + 68) != 0xFFFFFFFFu;
  int32_t result = static_cast<int32_t>(get32(r + 32));
  char path[261];
  memcpy(path, r + 92, 260);
  path[260] = 0;
  char error_text[129];
  memcpy(error_text, r + 352, 128);
  error_text[128] = 0;
  unsigned long long done = static_cast<unsigned long long>(block) * block_size;
  if (file_size && done > file_size) done = file_size;
  char progress[32] = "-";
  if (file_size) snprintf(progress, sizeof progress, "%3llu%%", done * 100 / file_size);
  // Both texts are the client's choice: no byte of them may reach the
  // terminal as a control character.
  printf("%-3u %-3s %-8s %s %10llu %10u %5s  %-7s %s%s%s\n", index, opcode == 2 ? "Put" : "Get",
         modes[mode & 3], client_text(r, address_part).c_str(), done, file_size, progress, result_name(result, live),
         printable_text(path).c_str(), error_text[0] ? "  " : "", printable_text(error_text).c_str());
}

static int no_answer() {
  fprintf(stderr, "harrierctl: the server did not answer\n");
  return 2;
}

// Lists by command 9. A server from before it (still running while its
// package was upgraded) refuses 9 as unknown: the first refusal is then
// asked again as command 8, which every server answers.
static int list_transfers(int s) {
  uint8_t reply[MESSAGE_SIZE];
  uint32_t command = PIPE_SESSION_ADDRESS;
  long size = static_cast<long>(PIPE_SESSION_ADDRESS_REPLY_SIZE);
  uint32_t index = 0;
  for (; index < LIST_LIMIT; index++) {
    long n = request(s, command, index, reply);
    if (n >= 0 && index == 0 && get32(reply) != 0) {
      command = PIPE_SESSION;
      size = static_cast<long>(PIPE_SESSION_REPLY_SIZE);
      n = request(s, command, index, reply);
    }
    if (n < 0) return no_answer();
    if (get32(reply) != 0 || n < size) break;
    if (index == 0) {
      printf("active transfers: %u\n", get32(reply + 4));
      printf("#   op  mode              client:port       bytes       size  done  result  path\n");
    }
    print_record(index, reply + RECORD_OFFSET, command == PIPE_SESSION_ADDRESS ? reply + PIPE_ADDRESS_OFFSET : nullptr);
  }
  if (index == 0) printf("no transfers listed\n");
  return 0;
}

static int show_state(const uint8_t* reply) {
  printf("server: %s%s\n", get32(reply + 4) ? "paused" : "answering", get32(reply + 8) ? ", stopping" : "");
  return 0;
}

static const char HARRIERCTL_USAGE[] =
    "Usage: harrierctl status | pause | resume | list\n"
    "       harrierctl reload general|server|options|access|all\n"
    "       harrierctl --help | --version\n"
    "\n"
    "Talks to a running harrier over its control channel\n"
    "($ORVANEL_CONTROL_SOCKET or /run/orvanel-tftp/control).\n"
    "\n"
    "  status    whether the server answers or is paused\n"
    "  pause     drop every request without an answer (needs write access to\n"
    "            the machine settings store)\n"
    "  resume    answer requests again (the same access)\n"
    "  list      the running and recently finished transfers\n"
    "  reload    read a group of settings again, or all of them\n"
    "\n"
    "Commands are recognised in any case. Exit status: 0 done; 1 a pause or\n"
    "resume was not permitted, or someone other than harrier listens; 2 no\n"
    "control channel, no answer, or a command line that makes no sense.\n";

static const char* const groups[] = {"general", "server", "options", "access"};

// 1 when name is a settings group or "all".
static int known_group(const char* name) {
  if (strcasecmp(name, "all") == 0) return 1;
  for (const char* group : groups)
    if (strcasecmp(name, group) == 0) return 1;
  return 0;
}

// The command line is judged whole before the channel is opened, so that a
// mistyped command says so even when no server runs.
static int check_command_line(int argc, char** argv) {
  if (argc < 2) return report_usage_error("harrierctl", "a command is missing");
  const char* verb = argv[1];
  int reload = strcasecmp(verb, "reload") == 0;
  if (!reload && strcasecmp(verb, "status") != 0 && strcasecmp(verb, "pause") != 0 &&
      strcasecmp(verb, "resume") != 0 && strcasecmp(verb, "list") != 0) {
    std::string message = "unknown command '" + printable_text(verb) + "'";
    return report_usage_error("harrierctl", message.c_str());
  }
  if (reload && argc < 3)
    return report_usage_error("harrierctl", "reload needs a group: general, server, options, access or all");
  if (reload && !known_group(argv[2])) {
    std::string message = "unknown settings group '" + printable_text(argv[2]) + "'";
    return report_usage_error("harrierctl", message.c_str());
  }
  if (argc > (reload ? 3 : 2)) return report_usage_error("harrierctl", "too many arguments");
  return 0;
}

int main(int argc, char** argv) {
  int answered = answer_help_or_version(argc, argv, "harrierctl", HARRIERCTL_USAGE);
  if (answered != SWITCH_NONE) return answered;
  if (check_command_line(argc, argv) != 0) return EXIT_USAGE_ERROR;
  const char* verb = argv[1];
  std::string path = control_channel_path();
  int s = connect_channel(path);
  if (s == CHANNEL_UNTRUSTED) return 1;
  if (s < 0) {
    fprintf(stderr, "harrierctl: no harrier control channel at %s (is the service running?)\n",
            printable_text(path).c_str());
    return 2;
  }
  uint8_t reply[MESSAGE_SIZE];
  int rc = 0;
  if (strcasecmp(verb, "status") == 0) {
    rc = request(s, PIPE_STATE, 0, reply) < 12 ? no_answer() : show_state(reply);
  } else if (strcasecmp(verb, "pause") == 0 || strcasecmp(verb, "resume") == 0) {
    int pause = strcasecmp(verb, "pause") == 0;
    if (request(s, pause ? PIPE_PAUSE : PIPE_RESUME, 0, reply) < 12) {
      rc = no_answer();
    } else {
      show_state(reply);
      if ((get32(reply + 4) != 0) != pause) {
        fprintf(stderr, "harrierctl: not changed: that needs write access to the machine settings store\n");
        rc = 1;
      }
    }
  } else if (strcasecmp(verb, "list") == 0) {
    rc = list_transfers(s);
  } else {  // reload, with a known group
    int all = strcasecmp(argv[2], "all") == 0;
    for (uint32_t g = 0; g < 4 && rc == 0; g++) {
      if (!all && strcasecmp(argv[2], groups[g]) != 0) continue;
      if (request(s, g + 1, 0, reply) < 0 || get32(reply) != 0)
        rc = no_answer();
      else
        printf("reloaded %s settings\n", groups[g]);
    }
  }

  close(s);
  return rc;
}
