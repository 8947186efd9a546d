#include "desktop/test_driver.h"

#include <sys/socket.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/frame.h>
#include <wx/msgdlg.h>
#include <wx/generic/msgdlgg.h>
#include <wx/listctrl.h>
#include <wx/menu.h>
#include <wx/statusbr.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/session.h"
#include "core/session_table.h"
#include "desktop/dialog_driver.h"
#include "desktop/local_socket.h"
#include "desktop/main_window.h"
#include "desktop/menus.h"
#include "desktop/screen_capture.h"
#include "desktop/tray_icon.h"

static int driver = -1;
static std::atomic<int> connection{-1};
static std::thread driver_thread;

static int menu_checked(int id) {
  wxMenuBar* bar = main_window->GetMenuBar();
  wxMenuItem* item = bar ? bar->FindItem(id) : nullptr;
  return item && item->IsCheckable() && item->IsChecked();
}

static std::string state() {
  std::ostringstream o;
  wxRect r = main_window->GetRect();
  wxMenuBar* bar = main_window->GetMenuBar();
  o << "{\"shown\":" << main_window->IsShown() << ",\"minimized\":" << window_minimized
    << ",\"menu_open\":" << menu_open << ",\"paused\":" << server_paused.load() << ",\"stop\":" << server_stop.load()
    << ",\"active\":" << active_transfers.load() << ",\"title\":" << json_text(main_window->GetTitle())
    << ",\"clients_bar\":" << json_text(clients_bar->GetStatusText())
    << ",\"state_bar\":" << json_text(state_bar->GetStatusText()) << ",\"menu\":" << (bar ? 1 : 0)
    << ",\"menus\":[";
  for (size_t i = 0; bar && i < bar->GetMenuCount(); i++) o << (i ? "," : "") << json_text(bar->GetMenuLabel(i));
  o << "],\"checked_start\":" << menu_checked(CMD_START) << ",\"checked_stop\":" << menu_checked(CMD_STOP)
    << ",\"tray_present\":" << tray_present << ",\"tray_menu\":[";
  for (int i = 0;; i++) {
    char label[64];
    int id = tray_menu_item(i, label, sizeof label);
    if (!id) break;
    o << (i ? "," : "") << "[" << id << "," << json_text(wxString::FromUTF8(label)) << "]";
  }
  o << "],\"restores\":" << restore_count << ",\"x\":" << r.x << ",\"y\":" << r.y << ",\"width\":" << r.width
    << ",\"height\":" << r.height << ",\"grip\":" << state_bar->HasFlag(wxSTB_SIZEGRIP)
    << ",\"top_grip\":" << clients_bar->HasFlag(wxSTB_SIZEGRIP) << ",\"bar_y\":" << clients_bar->GetPosition().y
    << ",\"list_y\":" << transfer_list->GetPosition().y
    << ",\"list_height\":" << transfer_list->GetSize().y
    << ",\"client_height\":" << main_window->GetClientSize().y << ",\"columns\":[";
  for (int c = 0; c < transfer_list->GetColumnCount(); c++) {
    wxListItem column;
    column.SetMask(wxLIST_MASK_TEXT | wxLIST_MASK_WIDTH);
    transfer_list->GetColumn(c, column);
    o << (c ? "," : "") << "[" << json_text(column.GetText()) << "," << column.GetWidth() << "]";
  }
  o << "],\"rows\":[";
  for (long i = 0; i < transfer_list->GetItemCount(); i++) {
    wxListItem item;
    item.SetId(i);
    item.SetMask(wxLIST_MASK_IMAGE);
    transfer_list->GetItem(item);
    o << (i ? "," : "") << "[" << item.GetImage();
    for (int c = 0; c < TRANSFER_COLUMNS; c++) o << "," << json_text(transfer_list->GetItemText(i, c));
    o << "]";
  }
  o << "],\"dialog\":";
  if (wxDialog* d = front_dialog(0)) {
    wxString message;
    if (auto* box = dynamic_cast<wxGenericMessageDialog*>(d)) message = box->GetMessage();
    o << "[" << json_text(d->GetTitle()) << "," << json_text(message) << "]";
  } else {
    o << "null";
  }
  o << "}";
  return o.str();
}

static std::string run_command(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "state") return state();
  if (verb == "menu") {
    int id = 0;
    in >> id;
    // Posted, as a click would be: a command that opens a modal box must not
    // hold the answer.
    wxQueueEvent(main_window, new wxCommandEvent(wxEVT_MENU, id));
    return "ok";
  }
  if (verb == "close") {
    main_window->Close();
    return "ok";
  }
  if (verb == "move") {
    int x = 0, y = 0;
    in >> x >> y;
    main_window->Move(x, y, wxSIZE_ALLOW_MINUS_ONE);
    return "ok";
  }
  if (verb == "screenshot") {
    std::string path;
    int below = 0;
    in >> path >> below;
    main_window->Update();
    wxRect r = main_window->GetScreenRect();
    return save_screen(r.x, r.y, r.width + (below ? 40 : 0), r.height + below, path) ? "ok" : "failed";
  }
  if (verb == "grab") {
    // grab X Y WIDTH HEIGHT PATH: any part of the screen, such as a window
    // of the toolkit's own that the program holds no wx window of.
    int x = 0, y = 0, width = 0, height = 0;
    std::string path;
    in >> x >> y >> width >> height >> path;
    return save_screen(x, y, width, height, path) ? "ok" : "failed";
  }
  if (verb == "dismiss") {
    wxDialog* d = front_dialog(0);
    if (!d || !d->IsModal()) return "none";
    d->EndModal(wxID_OK);
    return "ok";
  }
  std::string answer = run_dialog_command(verb, in);
  return answer.empty() ? "unknown" : answer;
}

// Carries out one command on the main thread and waits for its answer.
static std::string on_main_thread(const std::string& line) {
  auto done = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto answer = std::make_shared<std::string>();
  auto ready = std::make_shared<bool>(false);
  wxTheApp->CallAfter([=] {
    std::string text = main_window ? run_command(line) : "gone";
    std::lock_guard<std::mutex> hold(done->first);
    *answer = text;
    *ready = true;
    done->second.notify_one();
  });
  std::unique_lock<std::mutex> hold(done->first);
  if (!done->second.wait_for(hold, std::chrono::seconds(10), [&] { return *ready; })) return "timeout";
  return *answer;
}

static void serve_driver() {
  for (;;) {
    int s = accept_same_user(driver);
    if (s < 0) return;
    connection = s;
    std::string line;
    while (read_line(s, &line, 4096, 60000))
      if (!write_text(s, on_main_thread(line) + "\n")) break;
    connection = -1;
    close(s);
  }
}

int start_test_driver() {
  const char* name = getenv("KESTREL_TEST_DRIVER");
  if (!name || !*name) return 0;
  driver = local_listen(name);
  if (driver < 0) return 0;
  driver_thread = std::thread(serve_driver);
  return 1;
}

void stop_test_driver() {
  if (driver < 0) return;
  // Both shut down: the thread leaves its read and its accept, then ends.
  shutdown(driver, SHUT_RDWR);
  int s = connection.load();
  if (s >= 0) shutdown(s, SHUT_RDWR);
  if (driver_thread.joinable()) driver_thread.join();
  close(driver);
  driver = -1;
}
