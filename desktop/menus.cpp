#include "desktop/menus.h"

#include <unistd.h>
#include <wx/dialog.h>
#include <wx/frame.h>
#include <wx/log.h>
#include <wx/menu.h>
#include <wx/statbmp.h>
#include <wx/utils.h>
#include <wx/xrc/xmlres.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/session.h"
#include "desktop/control_ids.h"
#include "desktop/access_dialog.h"
#include "desktop/icons.h"
#include "desktop/log_dialog.h"
#include "desktop/window_state.h"
#include "desktop/message_box.h"
#include "desktop/preferences_dialog.h"
#include "desktop/resources.h"
#include "desktop/tray_icon.h"
#include "desktop/ui_strings.h"
#include "platform/program_path.h"

void build_menus() {
  // Loaded without a parent: given the frame, the loader would set it as
  // the frame's menu bar itself, before the old one is taken off.
  wxMenuBar* bar = resource_module->LoadMenuBar(nullptr, "102");
  wxMenuBar* old = main_window->GetMenuBar();
  main_window->SetMenuBar(bar);
  delete old;
  if (bar) {
    int paused = server_paused.load() != 0;
    if (wxMenuItem* item = bar->FindItem(CMD_START); item && item->IsCheckable()) item->Check(!paused);
    if (wxMenuItem* item = bar->FindItem(CMD_STOP); item && item->IsCheckable()) item->Check(paused);
  }
  build_tray_menu();
}

void on_command(int command) {
  switch (command) {
    case CMD_START:
      server_paused = 0;
      request_refresh(REFRESH_TEXTS);
      break;
    case CMD_STOP:
      server_paused = 1;
      request_refresh(REFRESH_TEXTS);
      break;
    case CMD_VIEW_LOG:
      show_log_viewer(main_window);
      break;
    case CMD_PREFERENCES:
      show_preferences(main_window);
      break;
    case CMD_ACCESS_CONTROL:
      show_access_editor(main_window);
      break;
    case CMD_NEW_ACCESS_ROW:
      access_new_entry();
      break;
    case CMD_REMOVE_ACCESS_ROW:
      access_remove_entry();
      break;
    case CMD_EXIT:
      exit_program();
      break;
    case CMD_HELP:
      open_help();
      break;
    case CMD_ABOUT:
      show_about();
      break;
    case CMD_RESTORE:
      show_restored();
      break;
    default:
      break;
  }
}

void exit_program() {
  // A close that cannot be vetoed: the frame stores, stops and ends.
  main_window->Close(true);
}

const char* help_file_name(const char* language) {
  return strncmp(language, "de", 2) == 0 && (language[2] == 0 || language[2] == '_' || language[2] == '.')
             ? "tftp-d.htm"
             : "tftp.htm";
}

const char* user_language() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value && *value) return value;
  }
  return "";
}

void open_help() {
  char directory[4096];
  if (data_directory(directory, sizeof directory) == 0) return;
  std::string path = std::string(directory) + help_file_name(user_language());
  if (access(path.c_str(), R_OK) != 0) return;
  wxLogNull quiet;
  wxLaunchDefaultBrowser("file://" + wxString::FromUTF8(path));
}

void show_about() {
  wxDialog about;
  if (!program_instance()->LoadDialog(&about, main_window, "103")) {
    char text[128];
    show_message(main_window, "%s", load_ui_string(UI_DIALOG_FAILED, text, sizeof text));
    return;
  }
  if (auto* picture = dynamic_cast<wxStaticBitmap*>(about.FindWindow(ID_ABOUT_PICTURE)))
    picture->SetBitmap(icon_bundle(ICON_PROGRAM, 32));
  about.SetIcons(program_icons());
  about.Bind(wxEVT_BUTTON, [&about](wxCommandEvent& event) { about.EndModal(event.GetId()); }, 1, 2);
  about.SetEscapeId(1);
  about.Fit();
  about.CentreOnParent();
  about.ShowModal();
}
