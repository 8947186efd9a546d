#include "desktop/screen_capture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <wx/image.h>

#include <algorithm>

// A connection of its own: the toolkit's drawing is read back from the
// server, never from a copy the toolkit keeps.
int save_screen(int x, int y, int width, int height, const std::string& path) {
  Display* display = XOpenDisplay(nullptr);
  if (!display) return 0;
  Window root = DefaultRootWindow(display);
  XWindowAttributes screen;
  XGetWindowAttributes(display, root, &screen);
  int left = std::max(x, 0), top = std::max(y, 0);
  int right = std::min(x + width, screen.width), bottom = std::min(y + height, screen.height);
  int ok = 0;
  if (right > left && bottom > top) {
    XImage* shot = XGetImage(display, root, left, top, static_cast<unsigned>(right - left),
                             static_cast<unsigned>(bottom - top), AllPlanes, ZPixmap);
    if (shot) {
      wxImage picture(right - left, bottom - top);
      for (int row = 0; row < bottom - top; row++)
        for (int column = 0; column < right - left; column++) {
          unsigned long pixel = XGetPixel(shot, column, row);
          picture.SetRGB(column, row, static_cast<unsigned char>((pixel & shot->red_mask) >> 16),
                         static_cast<unsigned char>((pixel & shot->green_mask) >> 8),
                         static_cast<unsigned char>(pixel & shot->blue_mask));
        }
      XDestroyImage(shot);
      ok = picture.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG);
    }
  }
  XCloseDisplay(display);
  return ok;
}
