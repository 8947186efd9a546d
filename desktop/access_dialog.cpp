#include "desktop/access_dialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/dialog.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/xrc/xmlres.h>

#include <string>
#include <vector>

#include "core/settings.h"
#include "desktop/control_ids.h"
#include "desktop/access_editor.h"
#include "desktop/icons.h"
#include "desktop/window_state.h"
#include "desktop/menus.h"
#include "desktop/message_box.h"
#include "desktop/resources.h"
#include "desktop/ui_strings.h"

wxDialog* access_dialog = nullptr;
static wxListCtrl* access_list = nullptr;
static std::vector<access_row> rows;  // what the list shows, row for row
static std::string root;              // the root directory the rows belong to

// Image list order: no rights, read, write, both.
static const int folder_icon_ids[4] = {157, 156, 155, 158};

template <typename T>
static T* control(int id) {
  return access_dialog ? dynamic_cast<T*>(access_dialog->FindWindow(id)) : nullptr;
}

static int checked(int id) {
  auto* box = control<wxCheckBox>(id);
  return box && box->GetValue() ? 1 : 0;
}

static void set_checked(int id, int value) {
  if (auto* box = control<wxCheckBox>(id)) box->SetValue(value != 0);
}

static void set_text(int id, const std::string& text) {
  if (auto* edit = control<wxTextCtrl>(id)) edit->ChangeValue(wxString::FromUTF8(text));
}

static long selected_row() {
  return access_list ? access_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED) : -1;
}

// Columns and image of list row i from rows[i].
static void show_row(long i) {
  const access_row& r = rows[static_cast<size_t>(i)];
  access_list->SetItem(i, 0, wxString::FromUTF8(access_directory_text(r, root)), access_rights_image(r.rights));
  access_list->SetItem(i, 1, wxString::FromUTF8(r.rights));
  access_list->SetItem(i, 2, wxString::FromUTF8(r.first));
  access_list->SetItem(i, 3, wxString::FromUTF8(r.last));
}

static void fill_list() {
  access_list->DeleteAllItems();
  for (size_t i = 0; i < rows.size(); i++) {
    access_list->InsertItem(static_cast<long>(i), "");
    show_row(static_cast<long>(i));
  }
}

static void clear_fields() {
  set_text(ID_ACCESS_FIRST, "");
  set_text(ID_ACCESS_LAST, "");
  for (int id : {ID_ACCESS_READ, ID_ACCESS_WRITE, ID_ACCESS_OVERWRITE}) set_checked(id, 0);
}

static void enable_rules(bool on) {
  for (int id : {ID_ACCESS_LIST, ID_ACCESS_DIRECTORY, ID_ACCESS_FIRST, ID_ACCESS_LAST, ID_ACCESS_READ, ID_ACCESS_WRITE, ID_ACCESS_OVERWRITE})
    if (wxWindow* w = access_dialog->FindWindow(id)) w->Enable(on);
}

static void select_row(long i) {
  access_list->SetItemState(i, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                            wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
  access_list->EnsureVisible(i);
}

// The fields show the selected row.
static void on_row_selected(long i) {
  if (i < 0 || static_cast<size_t>(i) >= rows.size()) return;
  const access_row& r = rows[static_cast<size_t>(i)];
  if (auto* label = control<wxStaticText>(ID_ACCESS_DIRECTORY)) label->SetLabel(wxString::FromUTF8(access_directory_text(r, root)));
  set_text(ID_ACCESS_FIRST, r.first == ACCESS_ANY_ADDRESS ? std::string() : r.first);
  set_text(ID_ACCESS_LAST, r.last);
  set_checked(ID_ACCESS_READ, r.rights.find('r') != std::string::npos);
  set_checked(ID_ACCESS_WRITE, r.rights.find('w') != std::string::npos);
  set_checked(ID_ACCESS_OVERWRITE, r.rights.find('o') != std::string::npos);
}

void access_new_entry() {
  long s = selected_row();
  if (!access_dialog || s < 0) return;
  access_list->SetItemState(s, 0, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
  int added = new_access_row(&rows, static_cast<int>(s));
  if (added < 0) return;
  access_list->InsertItem(added, "");
  show_row(added);
  clear_fields();
  access_list->SetFocus();
  select_row(added);
}

void access_remove_entry() {
  long s = selected_row();
  if (!access_dialog || s < 0) return;
  if (!remove_access_row(&rows, static_cast<int>(s))) return;
  access_list->DeleteItem(s);
  clear_fields();
}

static void on_rights() {
  long s = selected_row();
  if (s < 0) return;
  if (!checked(ID_ACCESS_WRITE)) set_checked(ID_ACCESS_OVERWRITE, 0);
  rows[static_cast<size_t>(s)].rights = access_rights_from_boxes(checked(ID_ACCESS_READ), checked(ID_ACCESS_WRITE), checked(ID_ACCESS_OVERWRITE));
  show_row(s);
  access_list->SetFocus();
}

static void on_address(int id) {
  long s = selected_row();
  auto* edit = control<wxTextCtrl>(id);
  if (s < 0 || !edit) return;
  access_row& r = rows[static_cast<size_t>(s)];
  std::string text = edit->GetValue().utf8_string();
  // Text that is not yet an address leaves the row as it was.
  if (id == ID_ACCESS_FIRST ? set_access_first_address(&r, text) : set_access_last_address(&r, text)) show_row(s);
}

static void on_context_menu() {
  long s = selected_row();
  if (s < 0) return;
  char text[128];
  wxMenu menu;
  menu.Append(CMD_NEW_ACCESS_ROW, wxString::FromUTF8(load_ui_string(UI_NEW_ENTRY, text, sizeof text)));
  // The last row of a directory cannot be removed.
  if (access_row_removable(rows, static_cast<int>(s)))
    menu.Append(CMD_REMOVE_ACCESS_ROW, wxString::FromUTF8(load_ui_string(UI_REMOVE_ENTRY, text, sizeof text)));
  access_dialog->PopupMenu(&menu);
}

void show_access_editor(wxWindow* owner) {
  wxDialog dialog;
  char text[128];
  if (!resource_module->LoadDialog(&dialog, owner, "109")) {
    show_message(owner, "%s", load_ui_string(UI_DIALOG_FAILED, text, sizeof text));
    return;
  }
  access_dialog = &dialog;
  access_list = dynamic_cast<wxListCtrl*>(dialog.FindWindow(ID_ACCESS_LIST));
  if (!access_list) {
    access_dialog = nullptr;
    show_message(owner, "%s", load_ui_string(UI_DIALOG_FAILED, text, sizeof text));
    return;
  }
  set_checked(ID_ACCESS_ENABLED, AccessControl.load() != 0);
  enable_rules(AccessControl.load() != 0);
  attach_icons(access_list, 4, folder_icon_ids);
  int width = access_list->GetClientSize().GetWidth();
  if (width < 100) width = 520;
  access_list->AppendColumn(wxString::FromUTF8(load_ui_string(UI_COLUMN_DIRECTORY, text, sizeof text)),
                            wxLIST_FORMAT_LEFT, width * 30 / 100);
  access_list->AppendColumn("", wxLIST_FORMAT_LEFT, width * 10 / 100);
  access_list->AppendColumn(wxString::FromUTF8(load_ui_string(UI_COLUMN_HOSTS, text, sizeof text)),
                            wxLIST_FORMAT_LEFT, width * 30 / 100);
  access_list->AppendColumn("", wxLIST_FORMAT_LEFT, width * 30 / 100);
  root = root_directory();
  rows.clear();
  load_access_rows(root.c_str(), &rows);
  fill_list();

  access_list->Bind(wxEVT_LIST_ITEM_SELECTED, [](wxListEvent& e) { on_row_selected(e.GetIndex()); });
  access_list->Bind(wxEVT_LIST_ITEM_RIGHT_CLICK, [](wxListEvent&) { on_context_menu(); });
  dialog.Bind(wxEVT_MENU, [](wxCommandEvent&) { access_new_entry(); }, CMD_NEW_ACCESS_ROW);
  dialog.Bind(wxEVT_MENU, [](wxCommandEvent&) { access_remove_entry(); }, CMD_REMOVE_ACCESS_ROW);
  dialog.Bind(wxEVT_CHECKBOX, [](wxCommandEvent& e) {
    if (e.GetId() == ID_ACCESS_ENABLED) enable_rules(checked(ID_ACCESS_ENABLED));
    else on_rights();
  });
  dialog.Bind(wxEVT_TEXT, [](wxCommandEvent& e) {
    if (e.GetId() == ID_ACCESS_FIRST || e.GetId() == ID_ACCESS_LAST) on_address(e.GetId());
  });
  dialog.Bind(
      wxEVT_BUTTON,
      [&dialog](wxCommandEvent&) {
        apply_access_editor(checked(ID_ACCESS_ENABLED), root.c_str(), rows);
        dialog.EndModal(1);
      },
      1);
  dialog.Bind(wxEVT_BUTTON, [&dialog](wxCommandEvent&) { dialog.EndModal(0); }, 2);
  dialog.SetEscapeId(2);
  dialog.SetAffirmativeId(1);
  dialog.Fit();
  dialog.SetMinSize(dialog.GetSize());
  dialog.CentreOnParent();
  dialog.ShowModal();
  access_dialog = nullptr;
  access_list = nullptr;
  rows.clear();
}
