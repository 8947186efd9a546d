#include "desktop/message_box.h"

#include <sys/utsname.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/transfer_log.h"

void show_message(wxWindow* owner, const char* format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  // The generic box is a wx window like any other, so that it can be found
  // and answered by the test driver.
  wxGenericMessageDialog box(owner, wxString::FromUTF8(text), PRODUCT_TITLE, wxOK | wxCENTRE);
  box.ShowModal();
}

int nt_major_version() {
  static int version = -1;
  if (version < 0) {
    struct utsname name;
    version = uname(&name) == 0 ? atoi(name.release) : 0;
    if (version < 1) version = 1;  // never the 95/98 family
  }
  return version;
}
