/* A test client of Harrier's control pipe and of the service manager, run
 * under Wine by the tests.
 *
 *   pipe_client [--pipe NAME] [--hold MS] [--identify] REQUEST...
 *     Connects (waiting for a busy pipe up to its default time-out), sends
 *     each REQUEST as one message and prints each reply in hex on a line of
 *     its own ("no reply <error>" when none came). A REQUEST is hex bytes,
 *     optionally followed by "*N" to repeat them N times. --hold keeps the
 *     connection MS milliseconds after the last reply. --identify lets the
 *     server know who we are but not act as us.
 *   pipe_client --service NAME
 *     Prints the installed service's display name, image path, start type,
 *     service type and current state, one "key=value" a line.
 *
 * Exit codes: 0 done, 1 usage, 2 connecting or querying failed, 3 a request
 * had no reply. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MESSAGE_MAX 4096

static int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

/* Parses "hex[*count]" into out; returns the length or -1. */
static int parse_request(const char* text, unsigned char* out, int size) {
  const char* star = strchr(text, '*');
  size_t digits = star ? (size_t)(star - text) : strlen(text);
  long count = star ? strtol(star + 1, NULL, 10) : 1;
  if (digits % 2 != 0 || count < 1) return -1;
  int length = 0;
  for (long r = 0; r < count; r++) {
    for (size_t i = 0; i < digits; i += 2) {
      int high = hex_value(text[i]), low = hex_value(text[i + 1]);
      if (high < 0 || low < 0 || length >= size) return -1;
      out[length++] = (unsigned char)(high << 4 | low);
    }
  }
  return length;
}

static HANDLE connect_pipe(const char* name, int identify) {
  DWORD flags = identify ? SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION : 0;
  for (int tries = 0; tries < 2; tries++) {
    HANDLE pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, flags, NULL);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (GetLastError() != ERROR_PIPE_BUSY || tries > 0) return INVALID_HANDLE_VALUE;
    /* Busy: wait as long as the pipe's default time-out says, once. */
    if (!WaitNamedPipeA(name, NMPWAIT_USE_DEFAULT_WAIT)) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

static int query_service(const char* name) {
  SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
  if (!manager) {
    printf("error=%lu\n", (unsigned long)GetLastError());
    return 2;
  }
  SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
  if (!service) {
    printf("error=%lu\n", (unsigned long)GetLastError());
    CloseServiceHandle(manager);
    return 2;
  }
  static unsigned char buffer[8192];
  QUERY_SERVICE_CONFIGA* config = (QUERY_SERVICE_CONFIGA*)buffer;
  DWORD needed = 0;
  SERVICE_STATUS status;
  int rc = 0;
  if (QueryServiceConfigA(service, config, sizeof buffer, &needed) && QueryServiceStatus(service, &status)) {
    printf("display=%s\n", config->lpDisplayName ? config->lpDisplayName : "");
    printf("image=%s\n", config->lpBinaryPathName ? config->lpBinaryPathName : "");
    printf("start=%lu\n", (unsigned long)config->dwStartType);
    printf("type=%lu\n", (unsigned long)config->dwServiceType);
    printf("state=%lu\n", (unsigned long)status.dwCurrentState);
  } else {
    printf("error=%lu\n", (unsigned long)GetLastError());
    rc = 2;
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return rc;
}

int main(int argc, char** argv) {
  const char* name = "\\\\.\\pipe\\orvanel_tftp_server";
  DWORD hold = 0;
  int identify = 0;
  int first = 1;
  if (argc == 3 && strcmp(argv[1], "--service") == 0) return query_service(argv[2]);
  while (first < argc && strncmp(argv[first], "--", 2) == 0) {
    if (strcmp(argv[first], "--pipe") == 0 && first + 1 < argc) {
      name = argv[first + 1];
      first += 2;
    } else if (strcmp(argv[first], "--hold") == 0 && first + 1 < argc) {
      hold = (DWORD)strtoul(argv[first + 1], NULL, 10);
      first += 2;
    } else if (strcmp(argv[first], "--identify") == 0) {
      identify = 1;
      first++;
    } else {
      fprintf(stderr, "unknown option %s\n", argv[first]);
      return 1;
    }
  }
  HANDLE pipe = connect_pipe(name, identify);
  if (pipe == INVALID_HANDLE_VALUE) {
    printf("connect failed %lu\n", (unsigned long)GetLastError());
    return 2;
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  SetNamedPipeHandleState(pipe, &mode, NULL, NULL);
  int rc = 0;
  static unsigned char message[MESSAGE_MAX], reply[MESSAGE_MAX];
  for (int i = first; i < argc; i++) {
    int length = parse_request(argv[i], message, sizeof message);
    if (length < 0) {
      fprintf(stderr, "bad request %s\n", argv[i]);
      rc = 1;
      break;
    }
    DWORD written = 0, got = 0;
    if (!WriteFile(pipe, message, (DWORD)length, &written, NULL) || written != (DWORD)length ||
        !ReadFile(pipe, reply, sizeof reply, &got, NULL)) {
      printf("no reply %lu\n", (unsigned long)GetLastError());
      rc = 3;
      continue;
    }
    for (DWORD b = 0; b < got; b++) printf("%02x", reply[b]);
    printf("\n");
  }
  fflush(stdout);
  if (hold) Sleep(hold);
  CloseHandle(pipe);
  return rc;
}
