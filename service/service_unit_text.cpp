// Prints the unit that packages install as orvanel-tftpd.service: the text
// "harrier -install" writes, with a first line saying where it comes from.
// Run by the build at install time; never installed.
#include <cstdio>
#include <string>

#include "service_unit.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: service_unit_text EXECUTABLE USER\n");
    return 2;
  }
  std::string unit = format_service_unit(argv[1], argv[2]);
  if (unit.empty()) {
    fprintf(stderr, "service_unit_text: %s or %s cannot be written into a unit\n", argv[1], argv[2]);
    return 1;
  }
  // The generated text opens with a comment line naming harrier -install.
  size_t first = unit[0] == '#' ? unit.find('\n') + 1 : 0;
  fputs("# Installed with the package orvanel-tftpd; \"harrier -install\" is not needed.\n", stdout);
  fputs(unit.c_str() + first, stdout);
  return 0;
}
