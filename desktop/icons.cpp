#include "desktop/icons.h"

#include <wx/listctrl.h>

#include <cstring>

const int transfer_icon_ids[18] = {130, 131, 132, 133, 134, 135, 136, 137, 138,
                                   139, 140, 141, 142, 143, 144, 153, 152, 154};

static const icon_source* find_icon(int id) {
  for (int i = 0; i < icon_source_count; i++)
    if (icon_sources[i].id == id) return &icon_sources[i];
  return nullptr;
}

wxBitmapBundle icon_bundle(int id, int size) {
  const icon_source* icon = find_icon(id);
  if (!icon) return wxBitmapBundle();
  return wxBitmapBundle::FromSVG(icon->svg, wxSize(size, size));
}

wxIconBundle program_icons() {
  wxBitmapBundle bundle = icon_bundle(ICON_PROGRAM, 32);
  wxIconBundle icons;
  if (!bundle.IsOk()) return icons;
  for (int size : {16, 24, 32, 48, 64, 128}) icons.AddIcon(bundle.GetIcon(wxSize(size, size)));
  return icons;
}

int attach_icons(wxListCtrl* list, int count, const int* ids) {
  wxVector<wxBitmapBundle> large, small;
  int drawn = 0;
  for (int i = 0; i < count; i++) {
    wxBitmapBundle big = icon_bundle(ids[i], 32), little = icon_bundle(ids[i], 16);
    if (big.IsOk() && little.IsOk()) drawn++;
    large.push_back(big);
    small.push_back(little);
  }
  list->SetNormalImages(large);
  list->SetSmallImages(small);
  return drawn;
}
