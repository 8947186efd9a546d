// Kestrel: the TFTP server inside a desktop window.
#include <signal.h>
#include <strings.h>
#include <unistd.h>
#include <wx/debug.h>
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/image.h>
#include <wx/settings.h>

#include <cstdio>
#include <cstring>

#include "core/program_switches.h"
#include "core/session.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "desktop/icons.h"
#include "desktop/main_window.h"
#include "desktop/message_box.h"
#include "desktop/resources.h"
#include "desktop/single_instance.h"
#include "desktop/test_driver.h"
#include "desktop/toolkit_log.h"
#include "desktop/transfer_rows.h"
#include "platform/program_path.h"

static wxAssertHandler_t toolkit_assert_handler = nullptr;
static int report_asserts_on_stderr = 0;

// The command numbers 40001 to 40012 lie above the 16-bit signed range that
// the toolkit checks menu item ids against for another platform's sake; this
// toolkit's menus carry them unchanged, so that check alone is let through.
static void on_toolkit_assert(const wxString& file, int line, const wxString& function, const wxString& condition,
                              const wxString& message) {
  if (function.Contains("wxMenuItemBase") && condition.Contains("itemid")) return;
  if (report_asserts_on_stderr || !toolkit_assert_handler) {
    fprintf(stderr, "%s(%d): assert \"%s\" failed in %s: %s\n", file.utf8_str().data(), line,
            condition.utf8_str().data(), function.utf8_str().data(), message.utf8_str().data());
    return;
  }
  toolkit_assert_handler(file, line, function, condition, message);
}

static int program_argc = 0;
static char** program_argv = nullptr;

class kestrel_app : public wxApp {
 public:
  bool OnInit() override;
  int OnRun() override;
  int OnExit() override;

 private:
  int started = 0;
};

// Start-up after the single-instance check, in the described order.
// Returns 1 when the window runs, 0 when the program is to end with 0.
static int start_program() {
  if (program_argc > 1 && strcasecmp(program_argv[1], "-service") == 0) service_mode = 1;
  wxInitAllImageHandlers();
  load_program_resources();

  window_placement placement = read_placement(wxSystemSettings::GetMetric(wxSYS_SCREEN_X),
                                              wxSystemSettings::GetMetric(wxSYS_SCREEN_Y));
  if (!create_main_window(&placement)) {
    show_message(nullptr, "Create Window failed");
    if (main_window) main_window->Destroy();
    return 0;
  }
  main_window->SetIcons(program_icons());
  // Relative names are taken from the program's directory, as they always were.
  char directory[4096];
  if (module_directory(directory, sizeof directory) > 0 && chdir(directory) != 0) directory[0] = 0;
  // Run by a user, the installed program logs where that user may write.
  keep_log_per_user();

  load_settings(SETTINGS_KEY);
  load_language_module();
  attach_icons(transfer_list, IMAGE_COUNT, transfer_icon_ids);
  main_window->SetTitle(PRODUCT_TITLE);
  rebuild_texts();
  if (!Iconic) main_window->Show();
  start_refresh_timer();
  if (!start_server_thread()) {
    show_message(main_window, "Startup failed");
    stop_refresh_timer();
    main_window->Destroy();
    return 0;
  }
  start_instance_listener();
  return 1;
}

bool kestrel_app::OnInit() {
  SetAppName("kestrel");
  // Before the first template is loaded: a module that lacks one already
  // makes the toolkit log at start-up.
  route_toolkit_log();
  // An assert box would stop the automation: tests read stderr.
  if (getenv("KESTREL_TEST_DRIVER")) report_asserts_on_stderr = 1;
  started = start_program();
  if (started) start_test_driver();
  return true;
}

int kestrel_app::OnRun() {
  if (!started) return 0;
  wxApp::OnRun();
  return 0;
}

int kestrel_app::OnExit() {
  stop_test_driver();
  stop_instance_listener();
  return wxApp::OnExit();
}

wxIMPLEMENT_APP_NO_MAIN(kestrel_app);

static const char KESTREL_USAGE[] =
    "Usage: kestrel [-service] [toolkit options]\n"
    "       kestrel --help | --version\n"
    "\n"
    "The TFTP server in a desktop window, with its transfer list, settings,\n"
    "access rules and log viewer. A second start brings the running window to\n"
    "the front instead.\n"
    "\n"
    "  -service    start as a background program that survives the end of the\n"
    "              desktop session (the start-at-boot entry uses it)\n"
    "  --help      print this help and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "The toolkit's own options are taken too: --display, --class, --name,\n"
    "--gtk-module, --g-fatal-warnings, --gdk-debug, --gtk-debug and their\n"
    "--*-no-debug forms. Exit status: 0 done, 2 a command line that makes no\n"
    "sense.\n";

// The toolkit's options (GTK's), which its own start-up takes out of the
// arguments; those with a value take it after "=" or as the next argument.
struct toolkit_option {
  const char* name;
  int has_value;
};
static const toolkit_option toolkit_options[] = {
    {"--display", 1},   {"--class", 1},     {"--name", 1},         {"--gtk-module", 1}, {"--g-fatal-warnings", 0},
    {"--gdk-debug", 1}, {"--gdk-no-debug", 1}, {"--gtk-debug", 1}, {"--gtk-no-debug", 1},
};

// Checks the arguments before the toolkit starts: "-service" first, the
// toolkit's options anywhere. Returns 0, or the exit code of a usage error.
static int check_arguments(int argc, char** argv) {
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (i == 1 && strcasecmp(arg, "-service") == 0) continue;
    int known = 0;
    for (const toolkit_option& option : toolkit_options) {
      size_t n = strlen(option.name);
      if (strncmp(arg, option.name, n) != 0) continue;
      if (arg[n] == 0) {
        known = 1;
        if (option.has_value && ++i >= argc) return report_usage_error("kestrel", "an option lacks its value");
      } else if (arg[n] == '=' && option.has_value) {
        known = 1;
      }
      if (known) break;
    }
    if (known) continue;
    char message[160];
    snprintf(message, sizeof message, "%s '%.100s'", arg[0] == '-' ? "unknown switch" : "unexpected argument", arg);
    return report_usage_error("kestrel", message);
  }
  return 0;
}

int main(int argc, char** argv) {
  // Answered before the toolkit starts: no display is needed for them.
  int answered = answer_help_or_version(argc, argv, "kestrel", KESTREL_USAGE);
  if (answered != SWITCH_NONE) return answered;
  int refused = check_arguments(argc, argv);
  if (refused) return refused;
  // Writes to a peer that went away must fail, not end the server.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  toolkit_assert_handler = wxSetAssertHandler(on_toolkit_assert);
  program_argc = argc;
  program_argv = argv;
  if (claim_single_instance() == INSTANCE_SIGNALLED) return 0;
  return wxEntry(argc, argv);
}
