#include "desktop/main_window.h"

#include <wx/app.h>
#include <wx/frame.h>
#include <wx/listctrl.h>
#include <wx/settings.h>
#include <wx/statusbr.h>
#include <wx/timer.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/server_loop.h"
#include "core/session.h"
#include "core/session_table.h"
#include "core/settings.h"
#include "core/transfer_log.h"
#include "desktop/menus.h"
#include "desktop/message_box.h"
#include "desktop/session_snapshot.h"
#include "desktop/tray_icon.h"
#include "desktop/ui_strings.h"

static wxTimer* timer = nullptr;
static std::thread server_thread;

// The wx class stays thin: every handler calls a plain procedure.
class kestrel_frame : public wxFrame {
 public:
  kestrel_frame(const wxPoint& position, const wxSize& size)
      : wxFrame(nullptr, wxID_ANY, PRODUCT_TITLE, position, size, wxDEFAULT_FRAME_STYLE, "Kestrel") {
    Bind(wxEVT_SIZE, [](wxSizeEvent& event) {
      wxSize client = main_window->GetClientSize();
      layout_main_window(0, client.x, client.y);
      event.Skip();
    });
    Bind(wxEVT_ICONIZE, [](wxIconizeEvent& event) {
      if (event.IsIconized()) layout_main_window(1, 0, 0);
    });
    Bind(wxEVT_CLOSE_WINDOW, [](wxCloseEvent& event) {
      // The close box minimizes, which hides: only Exit ends the program.
      if (event.CanVeto()) {
        event.Veto();
        layout_main_window(1, 0, 0);
        return;
      }
      close_main_window();
      main_window->Destroy();
    });
    Bind(wxEVT_END_SESSION, [](wxCloseEvent& event) {
      if (!on_end_session(1, 0)) event.Veto();
    });
    // A menu bar is not replaced under an open menu of its own.
    Bind(wxEVT_MENU_OPEN, [](wxMenuEvent& event) {
      if (!event.IsPopup()) menu_open = 1;
      event.Skip();
    });
    Bind(wxEVT_MENU_CLOSE, [](wxMenuEvent& event) {
      if (!event.IsPopup() && menu_open) {
        menu_open = 0;
        if (pending_refresh.load()) request_refresh(0);
      }
      event.Skip();
    });
    Bind(wxEVT_TIMER, [](wxTimerEvent&) { on_refresh_tick(); }, ID_REFRESH_TIMER);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { on_refresh_tick(); }, ID_REFRESH_NOW);
    Bind(wxEVT_MENU, [](wxCommandEvent& event) { on_command(event.GetId()); }, CMD_FIRST, CMD_LAST);
    Bind(wxEVT_MENU, [](wxCommandEvent&) { on_command(CMD_RESTORE); }, CMD_RESTORE);
  }
};

int create_main_window(const window_placement* p) {
  // A coordinate left to the window system is handed over as the default.
  wxPoint position(p->left == PLACEMENT_DEFAULT ? wxDefaultCoord : p->left,
                   p->top == PLACEMENT_DEFAULT ? wxDefaultCoord : p->top);
  main_window = new kestrel_frame(position, wxSize(p->width, p->height));
  if (p->left != PLACEMENT_DEFAULT && p->top != PLACEMENT_DEFAULT)
    main_window->SetSize(p->left, p->top, p->width, p->height, wxSIZE_ALLOW_MINUS_ONE);
  main_window->SetMinSize(wxSize(WINDOW_MIN_WIDTH, WINDOW_MIN_HEIGHT));
  state_bar = main_window->CreateStatusBar(1, wxSTB_DEFAULT_STYLE, ID_STATE_BAR);
  clients_bar = new wxStatusBar(main_window, ID_CLIENTS_BAR, wxSTB_DEFAULT_STYLE & ~wxSTB_SIZEGRIP);
  transfer_list = new wxListCtrl(main_window, wxID_ANY, wxPoint(0, 0), wxSize(300, 150),
                                 wxLC_REPORT | wxBORDER_SUNKEN | wxTAB_TRAVERSAL, wxDefaultValidator, "List1");
  if (!state_bar || !clients_bar || !transfer_list) return 0;
  // Laid out before the first rebuild_texts, so that the column widths are
  // measured on the list as it will be shown, not on its created size.
  wxSize client = main_window->GetClientSize();
  layout_main_window(0, client.x, client.y);
  return 1;
}

void start_refresh_timer() {
  if (!timer) timer = new wxTimer(main_window, ID_REFRESH_TIMER);
  timer->Start(REFRESH_PERIOD_MS);
  refresh_timer = 1;
}

void stop_refresh_timer() {
  if (timer) timer->Stop();
  refresh_timer = 0;
}

void on_refresh_tick() {
  if (!main_window) return;
  unsigned bits = pending_refresh.exchange(0);
  if (service_mode && TrayIcon && !tray_present) tray_present = tray_add();
  refresh_transfer_list();
  if (bits & REFRESH_TEXTS) {
    if (menu_open)
      pending_refresh.fetch_or(REFRESH_TEXTS);  // rebuilt when the menu closes
    else
      rebuild_texts();
  }
}

// Sets a cell only when its text or image changed, so that an unchanged
// list costs nothing to draw.
static void set_cell(long row, int column, const char* text, int image, const char* old_text, int old_image) {
  if (old_text && strcmp(text, old_text) == 0 && image == old_image) return;
  transfer_list->SetItem(row, column, wxString::FromUTF8(text), image);
}

void refresh_transfer_list() {
  static std::vector<session_row_source> sources;
  static std::vector<transfer_row> shown;
  copy_session_rows(&sources);
  size_t root_length = root_directory().size();
  int percent = Percent != 0;
  long rows = transfer_list->GetItemCount();
  if (shown.size() > static_cast<size_t>(rows)) shown.resize(static_cast<size_t>(rows));
  transfer_row row;
  for (size_t i = 0; i < sources.size(); i++) {
    compute_transfer_row(&sources[i], root_length, percent, &row);
    long index = static_cast<long>(i);
    const transfer_row* old = i < shown.size() ? &shown[i] : nullptr;
    if (index >= rows) {
      if (transfer_list->InsertItem(index, wxString::FromUTF8(row.status), row.image) != index) break;
      rows++;
    } else {
      set_cell(index, 0, row.status, row.image, old ? old->status : nullptr, old ? old->image : -2);
    }
    set_cell(index, 1, row.address, -1, old ? old->address : nullptr, -1);
    set_cell(index, 2, row.operation, -1, old ? old->operation : nullptr, -1);
    set_cell(index, 3, row.file, -1, old ? old->file : nullptr, -1);
    if (!old || old->key != row.key) transfer_list->SetItemPtrData(index, static_cast<wxUIntPtr>(row.key));
    if (old)
      shown[i] = row;
    else
      shown.push_back(row);
  }
  while (rows > static_cast<long>(sources.size())) transfer_list->DeleteItem(--rows);
  if (shown.size() > static_cast<size_t>(rows)) shown.resize(static_cast<size_t>(rows));

  char text[128];
  format_clients_text(active_transfers.load(), text, sizeof text);
  if (clients_bar->GetStatusText() != text) clients_bar->SetStatusText(text);
}

void set_column_percents(wxListCtrl* list, int count, const char* const* titles, const int* percents) {
  static int usable = -1;
  int first = usable < 0;
  if (first) usable = list->GetClientSize().x - wxSystemSettings::GetMetric(wxSYS_VSCROLL_X, list);
  for (int i = 0; i < count; i++) {
    int width = percents[i] * usable / 100;
    if (first) {
      list->InsertColumn(i, wxString::FromUTF8(titles[i]), wxLIST_FORMAT_LEFT, width);
    } else {
      wxListItem column;
      column.SetMask(wxLIST_MASK_TEXT);
      column.SetText(wxString::FromUTF8(titles[i]));
      list->SetColumn(i, column);
      list->SetColumnWidth(i, width);
    }
  }
}

// A root or prefix over the program's own files keeps the server from
// serving: the bottom bar says it failed, and one box says why, once,
// after the event that noticed it.
static void report_start_failure() {
  static int reported = 0;
  if (reported || !server_stop.load() || !wxTheApp) return;
  std::string why = server_start_failure();
  if (why.empty()) return;
  reported = 1;
  wxTheApp->CallAfter([why] { show_message(main_window, "%s", why.c_str()); });
}

void rebuild_texts() {
  build_menus();
  char text[128];
  format_state_text(Port.load(), server_paused.load(), server_stop.load(), text, sizeof text);
  if (state_bar->GetStatusText() != text) state_bar->SetStatusText(text);
  report_start_failure();
  format_clients_text(active_transfers.load(), text, sizeof text);
  if (clients_bar->GetStatusText() != text) clients_bar->SetStatusText(text);

  static const int title_ids[TRANSFER_COLUMNS] = {UI_COLUMN_STATUS, UI_COLUMN_ADDRESS, UI_COLUMN_OPERATION,
                                                  UI_COLUMN_FILE};
  static const int percents[TRANSFER_COLUMNS] = {20, 20, 20, 40};
  char titles[TRANSFER_COLUMNS][64];
  const char* title_texts[TRANSFER_COLUMNS];
  for (int i = 0; i < TRANSFER_COLUMNS; i++) title_texts[i] = load_ui_string(title_ids[i], titles[i], sizeof titles[i]);
  set_column_percents(transfer_list, TRANSFER_COLUMNS, title_texts, percents);

  if (TrayIcon && !tray_present)
    tray_present = tray_add();
  else if (!TrayIcon && tray_present)
    tray_present = tray_remove();
}

void layout_main_window(int minimizing, int width, int height) {
  if (!clients_bar || !transfer_list) return;
  if (minimizing) {
    window_minimized = 1;
    main_window->Hide();
    return;
  }
  int bar = clients_bar->GetSize().y;
  if (bar <= 0) bar = clients_bar->GetBestSize().y;
  clients_bar->SetSize(0, 0, width, bar);
  int list_height = height - bar - 1;
  transfer_list->SetSize(0, bar + 1, width, list_height > 0 ? list_height : 0);
}

int start_server_thread() {
  server_bound_hook = [](int) { request_refresh(REFRESH_TEXTS); };
  try {
    server_thread = std::thread(desktop_server_loop);
  } catch (...) {
    return 0;
  }
  return 1;
}

// The loop leaves as soon as its socket is shut down; transfers see
// server_stop at their next turn, which is waited for up to a second.
static void wait_for_server() {
  if (server_thread.joinable()) server_thread.join();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (active_transfers.load() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void close_main_window() {
  if (!window_minimized && !main_window->IsIconized()) {
    wxRect r = main_window->GetRect();
    window_placement p = {r.x, r.y, r.width, r.height};
    store_placement(&p);
  }
  stop_server();
  if (tray_present) tray_present = tray_remove();
  stop_refresh_timer();
  wait_for_server();
  wxTheApp->ExitMainLoop();
}

int on_end_session(int ending, int) {
  if (!ending) return 1;
  if (tray_present) tray_present = tray_remove();
  if (!service_mode) return 1;
  // The NT family: the program stays for the next session.
  if (!refresh_timer) start_refresh_timer();
  return 0;
}
