// pelican-tftp: one TFTP transfer from the shell.
//   pelican-tftp [options] host[:port] GET|PUT remote_name [local_name]
// The arguments become one command line, read exactly as tftp_client reads
// it. The program links the client's procedures itself rather than calling
// libpelican's two exports, which carry only a result code and a 32-bit
// size: it tells the server's ERROR text, a host that does not resolve, the
// progress on a terminal and byte counts beyond 4 GiB. The exit status is
// the result code (0 done, 2 usage, ...).
#include "client/command_line.h"
#include "client/resolve.h"
#include "client/run_client.h"
#include "client/transfer_count.h"
#include "client/pelican.h"
#include "client/progress_line.h"
#include "core/printable.h"
#include "platform/terminal.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t CLI_LINE_MAX = COMMAND_LINE_SIZE - 1;  // what tftp_client reads of a line
constexpr const char* PROGRAM = PELICAN_PROGRAM;

constexpr const char* USAGE =
    "usage: %s [-a] [-bN] [-m] [-o] [-rN] [-s] [-tN] [-wN] host[:port] GET|PUT remote_name "
    "[local_name]\n"
    "       %s --help | --version\n";

constexpr const char* HELP =
    "Downloads (GET) or uploads (PUT) one file by TFTP.\n"
    "\n"
    "  -a     netascii mode (default: octet)\n"
    "  -bN    packet size N (block size N - 4), used when N > 516, at most 65504\n"
    "  -m     ask for the multicast option (GET only)\n"
    "  -o     overwrite an existing local file on GET\n"
    "  -rN    retransmissions before giving up (default 10)\n"
    "  -s     do not send the tsize option\n"
    "  -tN    seconds to wait for each answer (default 1)\n"
    "  -wN    ask for a window of N blocks per ACK (windowsize option)\n"
    "  --help     show this text and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "host is a name, an IPv4 address or an IPv6 address, with a port in\n"
    "brackets: [::1]:6969.\n"
    "Without local_name the local file is named after the last component of\n"
    "remote_name. On a terminal, standard error shows the progress.\n"
    "Exit status: 0 done, 1 out of memory, 2 invalid command line, 3 no socket,\n"
    "4 local file exists, 5 local file cannot be opened, 6 no answer or unknown\n"
    "host, 8 the transfer did not finish.\n";

const char* outcome_text(int code) {
  switch (code) {
    case PELICAN_NO_BUFFER: return "the packet buffer could not be allocated";
    case PELICAN_BAD_COMMAND_LINE: return "invalid command line";
    case PELICAN_NO_SOCKET: return "the transfer socket could not be opened";
    case PELICAN_LOCAL_FILE_EXISTS: return "the local file exists (-o overwrites it)";
    case PELICAN_LOCAL_FILE_FAILED: return "the local file could not be opened";
    case PELICAN_NO_ANSWER: return "no usable answer from the server";
    case PELICAN_UNFINISHED: return "the transfer did not finish";
    default: return "unknown result";
  }
}

void print_usage(std::FILE* stream) { std::fprintf(stream, USAGE, PROGRAM, PROGRAM); }

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Appends one argument, quoted when it holds white space or is empty.
// Returns false when the argument cannot be passed or the line is full.
bool append_argument(std::array<char, CLI_LINE_MAX + 1>& line, std::size_t& used,
                     std::string_view arg) {
  if (arg.find('"') != std::string_view::npos) return false;  // no way to quote a quote
  bool quote = arg.empty();
  for (char c : arg) quote = quote || is_blank(c);
  std::size_t need = (used ? 1 : 0) + arg.size() + (quote ? 2 : 0);
  if (need > CLI_LINE_MAX - used) return false;
  if (used) line[used++] = ' ';
  if (quote) line[used++] = '"';
  std::memcpy(line.data() + used, arg.data(), arg.size());
  used += arg.size();
  if (quote) line[used++] = '"';
  line[used] = 0;
  return true;
}

// The progress line on standard error, when that is a terminal.
struct progress_display {
  int64_t started_ms;
  int64_t drawn_ms;
  std::size_t width;
  int drawn;
};

progress_display display;

void draw_progress(const client_transfer& transfer, int64_t now) {
  std::string line = progress_line(transfer.bytes_moved, transfer.expected_size,
                                   transfer.size_known, now - display.started_ms);
  std::fputs(progress_redraw(line, display.width).c_str(), stderr);
  std::fflush(stderr);
  display.drawn = 1;
  display.drawn_ms = now;
}

void report_progress(const client_transfer& transfer) {
  int64_t now = monotonic_ms();
  if (display.drawn && now - display.drawn_ms < PROGRESS_REDRAW_MS) return;
  draw_progress(transfer, now);
}

// The line that tells why the call did not finish.
void report_failure(int code, const client_transfer& transfer, const client_settings& settings) {
  if (code == PELICAN_NO_ANSWER && transfer.failure == CLIENT_FAILURE_HOST_UNKNOWN) {
    std::fprintf(stderr, "%s: %s: host not found (code %d)\n", PROGRAM,
                 printable_text(settings.host_name.data()).c_str(), code);
  } else if (transfer.failure == CLIENT_FAILURE_SERVER_ERROR) {
    std::string text = printable_text(std::string_view(transfer.error_text.data(), transfer.error_length));
    if (text.empty()) {
      std::fprintf(stderr, "%s: server error %u without a message (code %d)\n", PROGRAM,
                   static_cast<unsigned>(transfer.error_code), code);
    } else {
      std::fprintf(stderr, "%s: server error %u: %s (code %d)\n", PROGRAM,
                   static_cast<unsigned>(transfer.error_code), text.c_str(), code);
    }
  } else {
    std::fprintf(stderr, "%s: %s (code %d)\n", PROGRAM, outcome_text(code), code);
  }
}

}  // namespace

int main(int argc, char** argv) {
  // --help and --version where the options stand; other long options are
  // no part of this command line.
  for (int i = 1; i < argc && (argv[i][0] == '-' || argv[i][0] == '/'); i++) {
    std::string_view arg(argv[i]);
    if (arg == "--help") {
      print_usage(stdout);
      std::fputs(HELP, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("%s %s\n", PROGRAM, ORVANEL_VERSION);
      return 0;
    }
    if (arg.substr(0, 2) == "--") {
      std::fprintf(stderr, "%s: unknown option %s\n", PROGRAM, printable_text(arg).c_str());
      print_usage(stderr);
      return PELICAN_BAD_COMMAND_LINE;
    }
  }

  std::array<char, CLI_LINE_MAX + 1> line{};
  std::size_t used = 0;
  for (int i = 1; i < argc; i++) {
    if (!append_argument(line, used, argv[i])) {
      std::fprintf(stderr,
                   "%s: argument %d cannot be passed (a double quote, or a command line "
                   "over %zu characters) (code %d)\n",
                   PROGRAM, i, CLI_LINE_MAX, PELICAN_BAD_COMMAND_LINE);
      return PELICAN_BAD_COMMAND_LINE;
    }
  }

  if (error_output_is_terminal()) progress_report = report_progress;
  display.started_ms = monotonic_ms();
  static argument_vector arguments;
  split_command_line(line.data(), arguments);
  int code = run_client(arguments.count, arguments.vector.data());
  const client_transfer& transfer = transfer_record;
  if (display.drawn) {
    draw_progress(transfer, monotonic_ms());
    std::fputc('\n', stderr);
  }

  if (code == PELICAN_OK) {
    std::printf("%s: transfer complete, %llu bytes\n", PROGRAM,
                static_cast<unsigned long long>(transfer.bytes_moved));
  } else if (code == PELICAN_BAD_COMMAND_LINE) {
    std::fprintf(stderr, "%s: %s (code %d)\n", PROGRAM, outcome_text(code), code);
    print_usage(stderr);
  } else {
    report_failure(code, transfer, settings_record);
  }
  return code;
}
