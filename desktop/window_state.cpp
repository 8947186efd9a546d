#include "desktop/window_state.h"

#include <wx/app.h>
#include <wx/frame.h>

wxFrame* main_window = nullptr;
wxStatusBar* clients_bar = nullptr;
wxStatusBar* state_bar = nullptr;
wxListCtrl* transfer_list = nullptr;
int service_mode = 0;
int refresh_timer = 0;
int window_minimized = 0;
int menu_open = 0;
int tray_present = 0;
std::atomic<unsigned> pending_refresh{0};
int restore_count = 0;

void request_refresh(unsigned bits) {
  pending_refresh.fetch_or(bits);
  // Queued, so that any thread may ask; the frame refreshes on its turn.
  if (wxTheApp && main_window) wxQueueEvent(main_window, new wxCommandEvent(wxEVT_MENU, ID_REFRESH_NOW));
}

void show_restored() {
  restore_count++;
  window_minimized = 0;
  main_window->Iconize(false);
  main_window->Show(true);
  main_window->Raise();
}

void post_command(int command) {
  if (main_window) wxQueueEvent(main_window, new wxCommandEvent(wxEVT_MENU, command));
}
