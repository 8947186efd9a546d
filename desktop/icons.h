// The program's icons, drawn from the SVG sources compiled into it, sharp at
// every size and scale.
#pragma once

#include <wx/bmpbndl.h>
#include <wx/iconbndl.h>

#include "desktop/icon_data.h"

class wxListCtrl;

// The icon of that id at a default size of size pixels (larger on a HiDPI
// screen); an empty bundle when the id is unknown.
wxBitmapBundle icon_bundle(int id, int size);

// The program icon at 16, 24, 32, 48, 64 and 128 pixels, for windows.
wxIconBundle program_icons();

// Gives list the icons ids as its normal (32 pixels) and small (16 pixels)
// images. Returns the number of icons that could be drawn.
int attach_icons(wxListCtrl* list, int count, const int* ids);

// The ids of the transfer list's images in image-list order.
extern const int transfer_icon_ids[18];
