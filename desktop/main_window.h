// The main window: two status bars, the transfer list between them, the
// one-second refresh from the core's session list, placement and the end of
// the program.
#pragma once

#include <cstdint>

#include "desktop/placement.h"
#include "desktop/window_state.h"

enum { ID_STATE_BAR = 1000, ID_CLIENTS_BAR = 1003, ID_REFRESH_TIMER = 1, REFRESH_PERIOD_MS = 1000 };
enum { TRANSFER_COLUMNS = 4 };

// Creates the window with its bars and list at the placement, not shown.
// Returns 1, or 0 when something could not be created.
int create_main_window(const window_placement* placement);

// Starts and stops the one-second timer.
void start_refresh_timer();
void stop_refresh_timer();

// Main thread: the timer tick and request_refresh's event (tray re-adding in service mode, the rows,
// and rebuild_texts when REFRESH_TEXTS was pending).
void on_refresh_tick();

// Main thread: mirrors session_list into transfer_list in place (rows
// overwritten, missing ones inserted, surplus ones deleted from the end) and
// updates the top bar.
void refresh_transfer_list();

// Main thread: menus, status texts, column titles and the tray icon anew.
void rebuild_texts();

// The main window's columns: inserted at the first call with widths from
// the list's usable width measured then; later calls re-title and re-size.
void set_column_percents(wxListCtrl* list, int count, const char* const* titles, const int* percents);

// Places the bars and the list for a client area of width by height; a
// window being minimized is hidden instead.
void layout_main_window(int minimizing, int width, int height);

// The end of the program (Exit): stores the placement unless minimized,
// stops the server and waits for its thread, removes the tray icon, stops
// the timer and ends the message loop.
void close_main_window();

// The user's session ends (ending nonzero): the tray icon goes; returns 1
// when the program may be ended with the session.
int on_end_session(int ending, int flags);

// Starts desktop_server_loop on its own thread. Returns 1, or 0 when the
// thread cannot be started.
int start_server_thread();
