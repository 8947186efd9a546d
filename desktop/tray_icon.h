// The icon in the notification area and its menu.
#pragma once

#include "desktop/window_state.h"

// Adds the icon with the program icon and the window title as tip; returns
// 1 on success, 0 when it cannot be added (no notification area).
int tray_add();

// Removes the icon; returns 0, the new tray_present.
int tray_remove();

// The tray menu anew: "&View Log", "&Exit", then "&Start..." while paused,
// else "&Stop...".
void build_tray_menu();

// The tray menu's labels and commands, in order (for the test driver).
int tray_menu_item(int position, char* label, int size);
