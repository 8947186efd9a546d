#include "desktop/dialog_driver.h"

#include <wx/bookctrl.h>
#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/dialog.h>
#include <wx/listctrl.h>
#include <wx/propdlg.h>
#include <wx/radiobut.h>
#include <wx/slider.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <cstdio>

#include "desktop/log_printout.h"
#include "desktop/screen_capture.h"

wxDialog* front_dialog(int modal_only) {
  wxDialog* last = nullptr;
  for (wxWindow* w : wxTopLevelWindows)
    if (auto* d = dynamic_cast<wxDialog*>(w); d && d->IsShown() && (!modal_only || d->IsModal())) last = d;
  return last;
}

std::string json_text(const wxString& text) {
  std::string out = "\"";
  for (unsigned char c : std::string(text.utf8_str().data())) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// The window of id on the sheet's current page first (pages reuse ids),
// then anywhere in the dialog.
static wxWindow* find_control(wxDialog* d, int id) {
  if (auto* sheet = dynamic_cast<wxPropertySheetDialog*>(d))
    if (wxWindow* page = sheet->GetBookCtrl()->GetCurrentPage())
      if (wxWindow* w = page->FindWindow(id)) return w;
  return d->FindWindow(id);
}

static void notify(wxWindow* w, wxEventType type, int value) {
  wxCommandEvent e(type, w->GetId());
  e.SetEventObject(w);
  e.SetInt(value);
  w->GetEventHandler()->ProcessEvent(e);
}

static std::string rest_of(std::istringstream& in) {
  std::string text;
  std::getline(in, text);
  if (!text.empty() && text[0] == ' ') text.erase(0, 1);
  return text;
}

static std::string set_control(wxWindow* w, std::istringstream& in) {
  std::string value = rest_of(in);
  int number = atoi(value.c_str());
  if (auto* box = dynamic_cast<wxCheckBox*>(w)) {
    box->SetValue(number != 0);
    notify(w, wxEVT_CHECKBOX, number != 0);
  } else if (auto* radio = dynamic_cast<wxRadioButton*>(w)) {
    radio->SetValue(true);
    notify(w, wxEVT_RADIOBUTTON, 1);
  } else if (auto* edit = dynamic_cast<wxTextCtrl*>(w)) {
    edit->SetValue(wxString::FromUTF8(value));  // sends the text notification itself
  } else if (auto* choice = dynamic_cast<wxChoice*>(w)) {
    choice->SetSelection(number);
    notify(w, wxEVT_CHOICE, number);
  } else if (auto* slider = dynamic_cast<wxSlider*>(w)) {
    slider->SetValue(number);
    notify(w, wxEVT_SLIDER, slider->GetValue());
  } else if (auto* list = dynamic_cast<wxListCtrl*>(w)) {
    if (number < 0 || number >= list->GetItemCount()) return "no row";
    list->SetFocus();
    list->SetItemState(number, wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED,
                       wxLIST_STATE_SELECTED | wxLIST_STATE_FOCUSED);
  } else {
    return "not settable";
  }
  return "ok";
}

static std::string get_control(wxWindow* w) {
  // Where it is on the screen, for a click as a user's.
  wxRect r = w->GetScreenRect();
  std::string o = "{\"enabled\":" + std::to_string(w->IsEnabled()) + ",\"shown\":" + std::to_string(w->IsShown()) +
                  ",\"rect\":[" + std::to_string(r.x) + "," + std::to_string(r.y) + "," + std::to_string(r.width) +
                  "," + std::to_string(r.height) + "]";
  if (auto* box = dynamic_cast<wxCheckBox*>(w)) return o + ",\"value\":" + std::to_string(box->GetValue()) + "}";
  if (auto* radio = dynamic_cast<wxRadioButton*>(w)) return o + ",\"value\":" + std::to_string(radio->GetValue()) + "}";
  if (auto* edit = dynamic_cast<wxTextCtrl*>(w)) return o + ",\"value\":" + json_text(edit->GetValue()) + "}";
  if (auto* choice = dynamic_cast<wxChoice*>(w)) {
    o += ",\"value\":" + std::to_string(choice->GetSelection()) + ",\"items\":[";
    for (unsigned i = 0; i < choice->GetCount(); i++) o += (i ? "," : "") + json_text(choice->GetString(i));
    return o + "]}";
  }
  if (auto* slider = dynamic_cast<wxSlider*>(w))
    return o + ",\"value\":" + std::to_string(slider->GetValue()) + ",\"min\":" + std::to_string(slider->GetMin()) +
           ",\"max\":" + std::to_string(slider->GetMax()) + ",\"line\":" + std::to_string(slider->GetLineSize()) +
           ",\"page_size\":" + std::to_string(slider->GetPageSize()) + "}";
  if (auto* label = dynamic_cast<wxStaticText*>(w)) return o + ",\"value\":" + json_text(label->GetLabel()) + "}";
  if (auto* button = dynamic_cast<wxButton*>(w)) return o + ",\"value\":" + json_text(button->GetLabel()) + "}";
  if (auto* list = dynamic_cast<wxListCtrl*>(w)) {
    o += ",\"selected\":" + std::to_string(list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED));
    o += ",\"columns\":[";
    for (int c = 0; c < list->GetColumnCount(); c++) {
      wxListItem column;
      column.SetMask(wxLIST_MASK_TEXT);
      list->GetColumn(c, column);
      o += (c ? "," : "") + json_text(column.GetText());
    }
    o += "],\"rows\":[";
    for (long i = 0; i < list->GetItemCount(); i++) {
      wxListItem item;
      item.SetId(i);
      item.SetMask(wxLIST_MASK_IMAGE);
      list->GetItem(item);
      o += std::string(i ? "," : "") + "[" + std::to_string(item.GetImage());
      for (int c = 0; c < list->GetColumnCount(); c++) o += "," + json_text(list->GetItemText(i, c));
      o += "]";
    }
    return o + "]}";
  }
  return o + "}";
}

std::string run_dialog_command(const std::string& verb, std::istringstream& in) {
  if (verb == "print") {
    // print FILE OUTPUT.ps COPIES COLLATE: the layout into PostScript.
    std::string file, output;
    unsigned copies = 1;
    int collate = 1;
    in >> file >> output >> copies >> collate;
    return print_text_file_to_postscript(file.c_str(), output.c_str(), copies, collate) ? "ok" : "failed";
  }
  if (verb != "dialog" && verb != "page" && verb != "set" && verb != "get" && verb != "press" && verb != "shot")
    return "";
  wxDialog* d = front_dialog(1);
  if (!d) return "none";
  auto* sheet = dynamic_cast<wxPropertySheetDialog*>(d);
  if (verb == "dialog") {
    std::string o = "{\"title\":" + json_text(d->GetTitle());
    if (sheet) {
      wxBookCtrlBase* book = sheet->GetBookCtrl();
      o += ",\"page\":" + std::to_string(book->GetSelection()) + ",\"pages\":[";
      for (size_t i = 0; i < book->GetPageCount(); i++) o += (i ? "," : "") + json_text(book->GetPageText(i));
      o += "]";
    }
    wxSize s = d->GetSize(), least = d->GetMinSize();
    return o + ",\"size\":[" + std::to_string(s.GetWidth()) + "," + std::to_string(s.GetHeight()) + "],\"min\":[" +
           std::to_string(least.GetWidth()) + "," + std::to_string(least.GetHeight()) + "]}";
  }
  if (verb == "page") {
    int page = -1;
    in >> page;
    if (!sheet || page < 0 || static_cast<size_t>(page) >= sheet->GetBookCtrl()->GetPageCount()) return "no page";
    sheet->GetBookCtrl()->SetSelection(static_cast<size_t>(page));
    return "ok";
  }
  if (verb == "shot") {
    std::string path;
    in >> path;
    d->Update();
    wxRect r = d->GetScreenRect();
    return save_screen(r.x, r.y, r.width, r.height, path) ? "ok" : "failed";
  }
  std::string which;
  in >> which;
  int id = which == "ok" ? wxID_OK : which == "cancel" ? wxID_CANCEL : which == "apply" ? wxID_APPLY : atoi(which.c_str());
  wxWindow* w = find_control(d, id);
  if (!w) return "no control";
  if (verb == "get") return get_control(w);
  if (verb == "set") return set_control(w, in);
  // press: a click on an enabled button.
  if (!w->IsEnabled()) return "disabled";
  notify(w, wxEVT_BUTTON, 0);
  return "ok";
}
