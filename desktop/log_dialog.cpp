#include "desktop/log_dialog.h"

#include <wx/button.h>
#include <wx/choice.h>
#include <wx/dialog.h>
#include <wx/listctrl.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/xrc/xmlres.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "core/settings.h"
#include "desktop/control_ids.h"
#include "desktop/icons.h"
#include "desktop/log_printout.h"
#include "desktop/log_viewer.h"
#include "desktop/message_box.h"
#include "desktop/resources.h"
#include "desktop/ui_strings.h"
#include "platform/program_path.h"

wxDialog* log_dialog = nullptr;

static const int log_icon_ids[2] = {153, 152};  // check mark, red cross
// Column titles (UI strings) and widths in percent; column 0 is the icon's.
static const int column_titles[7] = {0, UI_COLUMN_DATE, UI_COLUMN_TIME, UI_COLUMN_DURATION,
                                     UI_COLUMN_ADDRESS, UI_COLUMN_OPERATION, UI_COLUMN_FILE};
static const int column_percents[7] = {4, 13, 11, 15, 18, 14, 41};

// Where the server writes its log files.
static std::string log_directory() { return transfer_log_directory(); }

static void show_file(wxListCtrl* list, const std::string& name) {
  list->DeleteAllItems();
  std::vector<log_row> rows;
  load_log_file((log_directory() + name).c_str(), &rows);
  list->Freeze();
  size_t widest_address = 0;
  for (size_t i = 0; i < rows.size(); i++) {
    long at = list->InsertItem(static_cast<long>(i), "", rows[i].image);
    for (int c = 0; c < 6; c++) list->SetItem(at, c + 1, wxString::FromUTF8(rows[i].columns[c]));
    widest_address = std::max(widest_address, rows[i].columns[3].size());
  }
  // An IPv6 address longer than a dotted quad widens its column, never
  // narrows it below the share it was given.
  if (widest_address > 15) {
    int given = list->GetColumnWidth(4);
    list->SetColumnWidth(4, wxLIST_AUTOSIZE);
    if (list->GetColumnWidth(4) < given) list->SetColumnWidth(4, given);
  }
  list->Thaw();
  if (!rows.empty()) list->EnsureVisible(static_cast<long>(rows.size() - 1));
}

void layout_log_viewer(wxDialog* dialog, int width, int height) {
  wxPoint margin = dialog->ConvertDialogToPixels(wxPoint(5, 5));
  int mx = margin.x, my = margin.y;
  auto* bar = dynamic_cast<wxStatusBar*>(dialog->FindWindow(ID_LOG_STATUS));
  int bar_height = bar ? bar->GetSize().GetHeight() : 0;
  if (bar) bar->SetSize(0, height - bar_height, width, bar_height);
  int bottom = height - bar_height - my;  // the bottom edge of the row of controls
  wxWindow* list = dialog->FindWindow(ID_LOG_LIST);
  wxWindow* label = dialog->FindWindow(ID_LOG_FILE_LABEL);
  wxWindow* files = dialog->FindWindow(ID_LOG_FILES);
  wxWindow* print = dialog->FindWindow(ID_LOG_PRINT);
  wxWindow* ok = dialog->FindWindow(1);
  int row_height = 0;
  for (wxWindow* w : {label, files, print, ok})
    if (w) row_height = std::max(row_height, w->GetBestSize().GetHeight());
  if (list) list->SetSize(mx, my, width - 2 * mx, std::max(10, bottom - row_height - my - my));
  auto place = [&](wxWindow* w, int x) {
    if (!w) return;
    wxSize size = w->GetBestSize();
    w->SetSize(x, bottom - size.GetHeight(), size.GetWidth(), size.GetHeight());
  };
  int b = ok ? ok->GetBestSize().GetWidth() : 0;
  place(label, 2 * mx);
  place(files, 8 * mx);
  place(print, width - 2 * (b + 2 * mx));
  place(ok, width - 2 * mx - b);
}

void show_log_viewer(wxWindow* owner) {
  wxDialog dialog;
  char text[128];
  if (!resource_module->LoadDialog(&dialog, owner, "110")) {
    show_message(owner, "%s", load_ui_string(UI_DIALOG_FAILED, text, sizeof text));
    return;
  }
  auto* list = dynamic_cast<wxListCtrl*>(dialog.FindWindow(ID_LOG_LIST));
  auto* files = dynamic_cast<wxChoice*>(dialog.FindWindow(ID_LOG_FILES));
  if (!list || !files) {
    show_message(owner, "%s", load_ui_string(UI_DIALOG_FAILED, text, sizeof text));
    return;
  }
  log_dialog = &dialog;
  std::vector<std::string> names;
  size_t selected = 0;
  log_file_choices(log_directory().c_str(), time(nullptr), CreateLog.load() != 0, &names, &selected);
  for (const std::string& name : names) files->Append(wxString::FromUTF8(name));
  files->SetSelection(static_cast<int>(selected));
  attach_icons(list, 2, log_icon_ids);
  new wxStatusBar(&dialog, ID_LOG_STATUS, wxSTB_SIZEGRIP);
  // No smaller than 360 by 100 dialog units.
  dialog.SetMinSize(dialog.ConvertDialogToPixels(wxSize(360, 100)));
  wxSize size = dialog.GetSize();
  wxSize least = dialog.GetMinSize();
  dialog.SetSize(std::max(size.GetWidth(), least.GetWidth()), std::max(size.GetHeight(), least.GetHeight()));
  wxSize client = dialog.GetClientSize();
  layout_log_viewer(&dialog, client.GetWidth(), client.GetHeight());
  int width = list->GetClientSize().GetWidth();
  for (int c = 0; c < 7; c++) {
    wxString title = column_titles[c] ? wxString::FromUTF8(load_ui_string(column_titles[c], text, sizeof text)) : "";
    list->AppendColumn(title, wxLIST_FORMAT_LEFT, width * column_percents[c] / 100);
  }
  // The file shown is the one selected: the current log file when it
  // exists, else the newest listed.
  show_file(list, names.empty() ? std::string() : names[selected]);

  dialog.Bind(wxEVT_SIZE, [&dialog](wxSizeEvent& e) {
    wxSize c = dialog.GetClientSize();
    layout_log_viewer(&dialog, c.GetWidth(), c.GetHeight());
    e.Skip();
  });
  files->Bind(wxEVT_CHOICE, [list, files](wxCommandEvent&) {
    std::string name = files->GetStringSelection().utf8_string();
    if (!name.empty()) show_file(list, name);
  });
  dialog.Bind(
      wxEVT_BUTTON,
      [&dialog, files](wxCommandEvent&) {
        std::string name = files->GetStringSelection().utf8_string();
        if (name.empty()) return;
        // A cancel is the user's own choice: only a failure is reported.
        if (print_text_file(&dialog, (log_directory() + name).c_str(), PRINT_NO_LIMIT) == PRINT_FAILED) {
          char text[128];
          show_message(&dialog, "%s", load_ui_string(UI_PRINT_FAILED, text, sizeof text));
        }
      },
      ID_LOG_PRINT);
  dialog.Bind(wxEVT_BUTTON, [&dialog](wxCommandEvent&) { dialog.EndModal(1); }, 1);
  dialog.SetEscapeId(1);
  dialog.SetAffirmativeId(1);
  dialog.CentreOnParent();
  dialog.ShowModal();
  log_dialog = nullptr;
}
