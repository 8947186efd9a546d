// pelican: one TFTP transfer from the shell through libpelican.
//   pelican [options] host[:port] GET|PUT remote_name [local_name]
// The arguments become one command line for tftp_client; the outcome is one
// line, and the exit status is the result code.
#include "client/pelican.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t CLI_LINE_MAX = 255;  // what tftp_client reads of a line

const char* outcome_text(int code) {
  switch (code) {
    case PELICAN_NO_BUFFER: return "the packet buffer could not be allocated";
    case PELICAN_BAD_COMMAND_LINE:
      return "invalid command line; usage: pelican [-a] [-bN] [-m] [-o] [-rN] [-s] [-tN] [-wN] "
             "host[:port] GET|PUT remote_name [local_name]";
    case PELICAN_NO_SOCKET: return "the transfer socket could not be opened";
    case PELICAN_LOCAL_FILE_EXISTS: return "the local file exists (-o overwrites it)";
    case PELICAN_LOCAL_FILE_FAILED: return "the local file could not be opened";
    case PELICAN_NO_ANSWER: return "no usable answer from the server";
    case PELICAN_UNFINISHED: return "the transfer did not finish";
    default: return "unknown result";
  }
}

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

}  // namespace

int main(int argc, char** argv) {
  std::array<char, CLI_LINE_MAX + 1> line{};
  std::size_t used = 0;
  for (int i = 1; i < argc; i++) {
    if (!append_argument(line, used, argv[i])) {
      std::fprintf(stderr,
                   "pelican: argument %d cannot be passed (a double quote, or a command line "
                   "over %zu characters) (code %d)\n",
                   i, CLI_LINE_MAX, PELICAN_BAD_COMMAND_LINE);
      return PELICAN_BAD_COMMAND_LINE;
    }
  }
  int code = tftp_client(line.data());
  uint32_t bytes = 0;
  tftp_tsize(&bytes);
  if (code == PELICAN_OK) {
    std::printf("pelican: transfer complete, %u bytes\n", bytes);
  } else {
    std::fprintf(stderr, "pelican: %s (code %d)\n", outcome_text(code), code);
  }
  return code;
}
