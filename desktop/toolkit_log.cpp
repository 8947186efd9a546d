#include "desktop/toolkit_log.h"

#include <wx/log.h>

#include <cstdio>
#include <string>

#include "core/printable.h"
#include "core/transfer_log.h"

void trace_toolkit_message(int severe, std::string_view text) {
  std::string line = printable_text(text);
  log_line(severe ? 2 : 4, severe, " toolkit: %s\n", line.c_str());
  if (severe) fprintf(stderr, "kestrel: %s\n", line.c_str());
}

// Kept thin: the toolkit hands over each message as it was logged, before
// its own time stamp and level word; the trace has a stamp of its own.
class toolkit_log : public wxLog {
 protected:
  void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override {
    trace_toolkit_message(level <= wxLOG_Warning, message.utf8_string());
  }
};

void route_toolkit_log() { delete wxLog::SetActiveTarget(new toolkit_log); }
