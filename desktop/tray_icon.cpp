#include "desktop/tray_icon.h"

#include <wx/frame.h>
#include <wx/menu.h>
#include <wx/taskbar.h>

#include <cstdio>

#include "core/session.h"
#include "desktop/icons.h"
#include "desktop/menus.h"
#include "desktop/ui_strings.h"

static wxTaskBarIcon* tray = nullptr;
static wxMenu* tray_menu = nullptr;

// The icon's mouse messages: only while it is added.
static void on_tray_left(wxTaskBarIconEvent&) {
  if (tray_present) show_restored();
}

static void on_tray_right(wxTaskBarIconEvent&) {
  if (!tray_present || !tray_menu) return;
  main_window->Raise();
  tray->PopupMenu(tray_menu);
}

int tray_add() {
  if (!wxTaskBarIcon::IsAvailable()) return 0;
  if (!tray) {
    tray = new wxTaskBarIcon();
    tray->Bind(wxEVT_TASKBAR_LEFT_DOWN, on_tray_left);
    tray->Bind(wxEVT_TASKBAR_RIGHT_DOWN, on_tray_right);
    tray->Bind(wxEVT_MENU, [](wxCommandEvent& event) { post_command(event.GetId()); }, CMD_FIRST, CMD_LAST);
  }
  wxString tip = main_window->GetTitle().Left(63);
  if (tray->SetIcon(icon_bundle(ICON_PROGRAM, 16), tip)) return 1;
  return 0;
}

int tray_remove() {
  if (tray) {
    tray->RemoveIcon();
    tray->Destroy();
    tray = nullptr;
  }
  return 0;
}

void build_tray_menu() {
  char text[64];
  int paused = server_paused.load() != 0;
  wxMenu* menu = new wxMenu();
  menu->Append(CMD_VIEW_LOG, wxString::FromUTF8(load_ui_string(UI_TRAY_VIEW_LOG, text, sizeof text)));
  menu->Append(CMD_EXIT, wxString::FromUTF8(load_ui_string(UI_TRAY_EXIT, text, sizeof text)));
  menu->Append(paused ? CMD_START : CMD_STOP,
               wxString::FromUTF8(load_ui_string(paused ? UI_TRAY_START : UI_TRAY_STOP, text, sizeof text)));
  delete tray_menu;
  tray_menu = menu;
}

int tray_menu_item(int position, char* label, int size) {
  if (!tray_menu || position < 0 || static_cast<size_t>(position) >= tray_menu->GetMenuItemCount()) return 0;
  wxMenuItem* item = tray_menu->FindItemByPosition(static_cast<size_t>(position));
  snprintf(label, static_cast<size_t>(size), "%s", item->GetItemLabel().utf8_str().data());
  return item->GetId();
}
