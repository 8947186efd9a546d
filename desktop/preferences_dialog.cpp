#include "desktop/preferences_dialog.h"

#include <wx/app.h>
#include <wx/bookctrl.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dirdlg.h>
#include <wx/listctrl.h>
#include <wx/panel.h>
#include <wx/propdlg.h>
#include <wx/radiobut.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/xrc/xmlres.h>

#include <map>
#include <string>
#include <vector>

#include "core/settings.h"
#include "desktop/control_ids.h"
#include "desktop/language_modules.h"
#include "desktop/window_state.h"
#include "desktop/preferences_pages.h"
#include "desktop/resources.h"
#include "desktop/ui_strings.h"
#include "platform/program_path.h"

wxDialog* preferences_sheet = nullptr;

// The pages of the open sheet, in the order of the tabs.
static wxPanel* general_panel = nullptr;
static wxPanel* language_panel = nullptr;
static wxPanel* server_panel = nullptr;
static wxPanel* options_panel = nullptr;
static uint32_t max_clients = PREF_MAX_CLIENTS_DEFAULT;
static std::vector<language_module> modules;  // of the Language page's list

template <typename T>
static T* control(wxWindow* page, int id) {
  return page ? dynamic_cast<T*>(page->FindWindow(id)) : nullptr;
}

static int checked(wxWindow* page, int id) {
  auto* box = control<wxCheckBox>(page, id);
  return box && box->GetValue() ? 1 : 0;
}

static void set_checked(wxWindow* page, int id, int value) {
  if (auto* box = control<wxCheckBox>(page, id)) box->SetValue(value != 0);
}

static std::string text_of(wxWindow* page, int id) {
  auto* edit = control<wxTextCtrl>(page, id);
  return edit ? edit->GetValue().utf8_string() : std::string();
}

// Filled without the change notification: opening the sheet is no change.
static void set_text(wxWindow* page, int id, const std::string& text) {
  if (auto* edit = control<wxTextCtrl>(page, id)) edit->ChangeValue(wxString::FromUTF8(text));
}

static void set_label(wxWindow* page, int id, const std::string& text) {
  if (auto* label = control<wxStaticText>(page, id)) label->SetLabel(wxString::FromUTF8(text));
}

static void enable(wxWindow* page, int id, bool on) {
  if (wxWindow* w = page ? page->FindWindow(id) : nullptr) w->Enable(on);
}

// The Apply button goes on with the first change.
static void mark_changed() {
  if (wxWindow* apply = preferences_sheet ? preferences_sheet->FindWindow(wxID_APPLY) : nullptr) apply->Enable();
}

static std::string ui_text(int id) {
  char text[512];
  return load_ui_string(id, text, sizeof text);
}

// ---- General (106)

static void init_general(wxPanel* page) {
  general_page g{};
  // No start at boot here: services start through the service manager.
  load_general_page(&g, -1);
  set_checked(page, ID_GENERAL_TRAY_ICON, g.tray_icon);
  set_checked(page, ID_GENERAL_ICONIC, g.iconic);
  if (wxWindow* boot = page->FindWindow(ID_GENERAL_START_AT_BOOT)) boot->Show(g.start_at_boot_shown != 0);
  set_checked(page, ID_GENERAL_PERCENT, g.percent);
  set_checked(page, ID_GENERAL_WRITE_LOG, g.write_log);
  enable(page, ID_GENERAL_MONTHLY, g.log_choice_enabled);
  enable(page, ID_GENERAL_DAILY, g.log_choice_enabled);
  if (auto* daily = control<wxRadioButton>(page, ID_GENERAL_DAILY)) daily->SetValue(g.daily != 0);
  if (auto* monthly = control<wxRadioButton>(page, ID_GENERAL_MONTHLY)) monthly->SetValue(g.daily == 0);
  page->Bind(wxEVT_CHECKBOX, [page](wxCommandEvent& e) {
    if (e.GetId() == ID_GENERAL_WRITE_LOG) {
      enable(page, ID_GENERAL_MONTHLY, checked(page, ID_GENERAL_WRITE_LOG));
      enable(page, ID_GENERAL_DAILY, checked(page, ID_GENERAL_WRITE_LOG));
    }
    mark_changed();
  });
  page->Bind(wxEVT_RADIOBUTTON, [](wxCommandEvent&) { mark_changed(); });
}

static int apply_general(wxPanel* page) {
  general_page g{};
  g.tray_icon = checked(page, ID_GENERAL_TRAY_ICON);
  g.iconic = checked(page, ID_GENERAL_ICONIC);
  g.start_at_boot_shown = 0;
  g.write_log = checked(page, ID_GENERAL_WRITE_LOG);
  auto* daily = control<wxRadioButton>(page, ID_GENERAL_DAILY);
  g.daily = daily && daily->GetValue() ? 1 : 0;
  g.percent = checked(page, ID_GENERAL_PERCENT);
  int ok = apply_general_page(&g);
  // Adds or removes the tray icon after TrayIcon.
  request_refresh(REFRESH_TEXTS);
  return ok;
}

// ---- Language (105)

static std::string module_file(const std::string& module_text) {
  for (const language_module& m : modules)
    if (m.module == module_text) return m.file_name;
  return "";
}

static void show_translator(wxPanel* page, const std::string& module_text) {
  std::map<int, std::string> strings;
  char directory[4096];
  std::string file = module_file(module_text);
  std::string path = file.empty() || data_directory(directory, sizeof directory) == 0
                         ? std::string()
                         : language_module_path(directory, file);
  if (!path.empty() && read_module_strings(path, &strings)) {
    set_text(page, ID_LANGUAGE_TRANSLATOR, strings[3]);
  } else {
    set_text(page, ID_LANGUAGE_TRANSLATOR, "");
  }
}

static void init_language(wxPanel* page) {
  set_text(page, ID_LANGUAGE_NAME, ui_text(UI_LANGUAGE_NAME));
  auto* list = control<wxListCtrl>(page, ID_LANGUAGE_LIST);
  if (!list) return;
  list->ClearAll();
  int width = list->GetClientSize().GetWidth();
  if (width < 100) width = 360;
  list->AppendColumn(wxString::FromUTF8(ui_text(UI_COLUMN_MODULE)), wxLIST_FORMAT_LEFT, width * 40 / 100);
  list->AppendColumn(wxString::FromUTF8(ui_text(UI_COLUMN_LANGUAGE)), wxLIST_FORMAT_LEFT, width * 40 / 100);
  list->AppendColumn(wxString::FromUTF8(ui_text(UI_COLUMN_VERSION)), wxLIST_FORMAT_LEFT, width * 25 / 100);
  const std::string builtin = builtin_ui_string(UI_LANGUAGE_NAME);
  modules.clear();
  char directory[4096];
  if (data_directory(directory, sizeof directory) > 0) list_language_modules(directory, &modules);
  for (const std::string& row : language_list_rows(modules, builtin)) {
    std::string language = builtin, version = builtin_ui_string(UI_MODULE_VERSION);
    if (row != builtin) {
      std::map<int, std::string> strings;
      std::string path = language_module_path(directory, module_file(row));
      // A file that is no readable module adds no row.
      if (path.empty() || !read_module_strings(path, &strings)) continue;
      language = strings[1];
      version = strings[2];
    }
    long at = list->InsertItem(list->GetItemCount(), wxString::FromUTF8(row));
    list->SetItem(at, 1, wxString::FromUTF8(language));
    list->SetItem(at, 2, wxString::FromUTF8(version));
  }
  list->Bind(wxEVT_LIST_ITEM_SELECTED, [page, list](wxListEvent& e) {
    show_translator(page, list->GetItemText(e.GetIndex()).utf8_string());
    mark_changed();
  });
}

static int apply_language(wxPanel* page) {
  auto* list = control<wxListCtrl>(page, ID_LANGUAGE_LIST);
  long row = list ? list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED) : -1;
  if (row < 0) return 1;
  int ok = store_language_choice(list->GetItemText(row).utf8_string(), builtin_ui_string(UI_LANGUAGE_NAME));
  load_language_module();
  // The menu bar, tray menu, status texts and column titles at once (a menu
  // bar replaced later, under the open sheet, stays blank on the screen);
  // the open sheet keeps its texts.
  request_refresh(REFRESH_TEXTS);
  wxTheApp->ProcessPendingEvents();
  return ok;
}

// ---- Server (107)

static void fill_rows(wxPanel* page, int id, int rows, int selected) {
  auto* choice = control<wxChoice>(page, id);
  if (!choice) return;
  choice->Clear();
  for (int i = 1; i <= rows; i++) choice->Append(wxString::Format("%d", i));
  // A value set outside the program shows no row, and Apply keeps it.
  choice->SetSelection(selected == PREF_NO_ROW ? wxNOT_FOUND : selected);
}

static void init_server(wxPanel* page) {
  max_clients = read_max_clients();
  server_page s{};
  load_server_page(&s, max_clients);
  set_text(page, ID_SERVER_PORT, s.port);
  set_text(page, ID_SERVER_DATA_PORT, s.data_port);
  set_text(page, ID_SERVER_ROOT, s.root_directory);
  set_checked(page, ID_SERVER_ROOT_IP_SPECIFIC, s.root_ip_specific);
  fill_rows(page, ID_SERVER_TIMEOUT, PREF_TIMEOUT_ROWS, s.timeout_row);
  fill_rows(page, ID_SERVER_RETRANSMIT, PREF_RETRANSMIT_ROWS, s.retransmit_row);
  clients_track_bar bar = clients_track_bar_of(max_clients);
  if (auto* slider = control<wxSlider>(page, ID_SERVER_CLIENTS_SLIDER)) {
    slider->SetRange(bar.low, bar.high);
    slider->SetLineSize(bar.step);
    slider->SetPageSize(bar.step);
    slider->SetTickFreq(bar.step);
    slider->SetValue(s.clients);
  }
  set_label(page, ID_SERVER_CLIENTS_HIGH, std::to_string(bar.high));
  set_label(page, ID_SERVER_CLIENTS, std::to_string(s.clients));
  set_checked(page, ID_SERVER_WINDOW_SIZE, s.window_size);
  page->Bind(wxEVT_SLIDER, [page](wxCommandEvent& e) {
    if (e.GetInt() > 0) set_label(page, ID_SERVER_CLIENTS, std::to_string(e.GetInt()));
    page->Layout();
    mark_changed();
  });
  page->Bind(wxEVT_TEXT, [](wxCommandEvent&) { mark_changed(); });
  page->Bind(wxEVT_CHOICE, [](wxCommandEvent&) { mark_changed(); });
  page->Bind(wxEVT_CHECKBOX, [](wxCommandEvent&) { mark_changed(); });
  page->Bind(
      wxEVT_BUTTON,
      [page](wxCommandEvent&) {
        wxDirDialog browse(page, wxString::FromUTF8(ui_text(UI_ROOT_BROWSER_TITLE)),
                           wxString::FromUTF8(folder_browser_start(text_of(page, ID_SERVER_ROOT))),
                           wxDD_DEFAULT_STYLE | wxDD_DIR_MUST_EXIST);
        if (browse.ShowModal() != wxID_OK) return;
        std::string chosen = root_directory_from_text(browse.GetPath().utf8_string());
        if (chosen.empty()) return;
        // SetValue, not ChangeValue: the edit's notification marks the change.
        if (auto* edit = control<wxTextCtrl>(page, ID_SERVER_ROOT)) edit->SetValue(wxString::FromUTF8(chosen));
      },
      ID_SERVER_BROWSE);
}

static int apply_server(wxPanel* page) {
  server_page s{};
  s.port = text_of(page, ID_SERVER_PORT);
  s.data_port = text_of(page, ID_SERVER_DATA_PORT);
  s.root_directory = text_of(page, ID_SERVER_ROOT);
  s.root_ip_specific = checked(page, ID_SERVER_ROOT_IP_SPECIFIC);
  auto* timeout = control<wxChoice>(page, ID_SERVER_TIMEOUT);
  auto* retransmit = control<wxChoice>(page, ID_SERVER_RETRANSMIT);
  s.timeout_row = timeout && timeout->GetSelection() != wxNOT_FOUND ? timeout->GetSelection() : PREF_NO_ROW;
  s.retransmit_row =
      retransmit && retransmit->GetSelection() != wxNOT_FOUND ? retransmit->GetSelection() : PREF_NO_ROW;
  auto* slider = control<wxSlider>(page, ID_SERVER_CLIENTS_SLIDER);
  s.clients = slider ? slider->GetValue() : 0;
  s.window_size = checked(page, ID_SERVER_WINDOW_SIZE);
  return apply_server_page(&s, max_clients);
}

// ---- Options (108)

static void enable_multicast_fields(wxPanel* page) {
  bool on = checked(page, ID_OPTIONS_MULTICAST) != 0;
  for (int id : {ID_OPTIONS_MULTICAST_IP, ID_OPTIONS_MULTICAST_PORT, ID_OPTIONS_MULTICAST_TTL}) enable(page, id, on);
}

static void init_options(wxPanel* page) {
  options_page o{};
  load_options_page(&o);
  set_checked(page, ID_OPTIONS_BLKSIZE, o.blksize);
  set_checked(page, ID_OPTIONS_TIMEOUT, o.timeout);
  set_checked(page, ID_OPTIONS_TSIZE, o.tsize);
  set_checked(page, ID_OPTIONS_MULTICAST, o.multicast);
  set_text(page, ID_OPTIONS_MULTICAST_IP, o.multicast_ip);
  set_text(page, ID_OPTIONS_MULTICAST_PORT, o.multicast_port);
  set_text(page, ID_OPTIONS_MULTICAST_TTL, o.multicast_ttl);
  set_text(page, ID_OPTIONS_WINDOWSIZE_MAX, o.windowsize_max);
  enable_multicast_fields(page);
  page->Bind(wxEVT_CHECKBOX, [page](wxCommandEvent&) {
    enable_multicast_fields(page);
    mark_changed();
  });
  page->Bind(wxEVT_TEXT, [](wxCommandEvent&) { mark_changed(); });
}

static int apply_options(wxPanel* page) {
  options_page o{};
  o.blksize = checked(page, ID_OPTIONS_BLKSIZE);
  o.timeout = checked(page, ID_OPTIONS_TIMEOUT);
  o.tsize = checked(page, ID_OPTIONS_TSIZE);
  o.multicast = checked(page, ID_OPTIONS_MULTICAST);
  o.multicast_fields_enabled = o.multicast;
  o.multicast_ip = text_of(page, ID_OPTIONS_MULTICAST_IP);
  o.multicast_port = text_of(page, ID_OPTIONS_MULTICAST_PORT);
  o.multicast_ttl = text_of(page, ID_OPTIONS_MULTICAST_TTL);
  o.windowsize_max = text_of(page, ID_OPTIONS_WINDOWSIZE_MAX);
  return apply_options_page(&o);
}

// ---- the sheet

int apply_preferences() {
  if (!preferences_sheet) return 0;
  int ok = 1;
  // In the order of the tabs. The Language page comes before the Server
  // page, whose root directory does not depend on it.
  if (!apply_general(general_panel)) ok = 0;
  if (!apply_language(language_panel)) ok = 0;
  if (!apply_server(server_panel)) ok = 0;
  if (!apply_options(options_panel)) ok = 0;
  if (wxWindow* apply = preferences_sheet->FindWindow(wxID_APPLY)) apply->Disable();
  return ok;
}

void show_preferences(wxWindow* owner) {
  wxPropertySheetDialog sheet;
  if (!sheet.Create(owner, wxID_ANY, wxString::FromUTF8(ui_text(UI_PREFERENCES)))) return;
  sheet.CreateButtons(wxOK | wxCANCEL | wxAPPLY);
  wxBookCtrlBase* book = sheet.GetBookCtrl();
  struct page_spec {
    const char* id;
    wxPanel** panel;
    void (*init)(wxPanel*);
  };
  const page_spec pages[] = {{"106", &general_panel, init_general},
                             {"105", &language_panel, init_language},
                             {"107", &server_panel, init_server},
                             {"108", &options_panel, init_options}};
  for (const page_spec& p : pages) {
    wxPanel* panel = resource_module->LoadPanel(book, p.id);
    // A module without one of the pages: no sheet, no message.
    if (!panel) return;
    *p.panel = panel;
    book->AddPage(panel, wxString::FromUTF8(template_title(resource_module, p.id)));
  }
  preferences_sheet = &sheet;
  for (const page_spec& p : pages) p.init(*p.panel);
  if (wxWindow* apply = sheet.FindWindow(wxID_APPLY)) apply->Disable();
  sheet.Bind(wxEVT_BUTTON, [](wxCommandEvent&) { apply_preferences(); }, wxID_APPLY);
  sheet.Bind(
      wxEVT_BUTTON,
      [&sheet](wxCommandEvent&) {
        apply_preferences();
        sheet.EndModal(wxID_OK);
      },
      wxID_OK);
  sheet.LayoutDialog();
  sheet.ShowModal();
  preferences_sheet = nullptr;
  general_panel = language_panel = server_panel = options_panel = nullptr;
}
