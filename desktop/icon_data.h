// The program's icons as SVG text, compiled into the program.
#pragma once

enum { ICON_PROGRAM = 1 };  // the icon "Kestrel"

struct icon_source {
  int id;
  const char* name;
  const char* svg;
};

extern const icon_source icon_sources[];
extern const int icon_source_count;
