// What the window's parts share: the main window and its bars and list,
// the flags they read, and the refresh request. The lowest module of the
// desktop: it calls none of the others, and they tell the frame what to do
// by events (a refresh, a command, the end) rather than by calling it.
#pragma once

#include <atomic>

class wxFrame;
class wxStatusBar;
class wxListCtrl;

enum { REFRESH_TEXTS = 2 };
// The frame's event for a refresh asked for by request_refresh.
enum { ID_REFRESH_NOW = 39990 };

extern wxFrame* main_window;
extern wxStatusBar* clients_bar;  // top edge, no size grip
extern wxStatusBar* state_bar;    // bottom edge, the frame's own, with size grip
extern wxListCtrl* transfer_list;
extern int service_mode;
extern int refresh_timer;       // the timer runs
extern int window_minimized;    // hidden by minimizing or by the close box
extern int menu_open;           // a pop-up of the menu bar is open
extern int tray_present;        // the tray icon is added
extern std::atomic<unsigned> pending_refresh;
extern int restore_count;       // times show_restored ran (read by the test driver)

// Any thread: ORs bits into pending_refresh and has the main thread refresh
// the window at once (an ID_REFRESH_NOW event to the frame).
void request_refresh(unsigned bits);

// Shows main_window restored and in front.
void show_restored();

// Has the frame handle a menu command as if chosen from its own menu (the
// tray menu's commands go there).
void post_command(int command);
