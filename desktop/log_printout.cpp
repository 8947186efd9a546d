#include "desktop/log_printout.h"

#include <wx/dc.h>
#include <wx/dcps.h>
#include <wx/font.h>
#include <wx/print.h>
#include <wx/printdlg.h>

#include <string>
#include <vector>

#include "desktop/print_layout.h"

// Lines as the file has them: UTF-8 where they are, else Latin-1, so that a
// file name in another encoding still prints instead of vanishing.
static wxString line_text(const std::string& line) {
  wxString text = wxString::FromUTF8(line);
  if (text.empty() && !line.empty()) text = wxString(line.c_str(), wxConvISO8859_1);
  return text;
}

// The PostScript device converts its text with the C library's character
// set and drops a whole line that does not convert: characters outside
// ASCII print there as "?", so that the rest of the line stays.
static wxString printable_on_postscript(const wxString& text) {
  wxString out;
  out.reserve(text.length());
  for (wxUniChar c : text) out += c.GetValue() < 128 ? c : wxUniChar('?');
  return out;
}

// The printer's default font, in a fixed pitch so that the columns of a
// log line stay one under the other.
static void set_print_font(wxDC* dc) {
  dc->SetFont(wxFont(wxFontInfo(10).Family(wxFONTFAMILY_TELETYPE)));
  dc->SetTextForeground(*wxBLACK);
}

// The toolkit's printout, kept thin: it draws the sheets of a plan.
class text_printout : public wxPrintout {
 public:
  text_printout(const std::string& path, size_t limit, unsigned copies, int collate, bool postscript)
      : wxPrintout(wxString::FromUTF8(path)), path_(path), limit_(limit < PRINT_LINE_LIMIT ? limit : PRINT_LINE_LIMIT), copies_(copies),
        collate_(collate), postscript_(postscript) {}

  bool failed() const { return failed_; }

  void OnPreparePrinting() override {
    wxDC* dc = GetDC();
    if (!dc || !read_print_lines(path_.c_str(), limit_, &lines_)) {
      failed_ = true;
      return;
    }
    // One unit a screen pixel: the font has the size it has on the screen
    // whatever the printer's resolution.
    MapScreenSizeToPage();
    set_print_font(dc);
    wxCoord w = 0, h = 0, descent = 0, leading = 0;
    dc->GetTextExtent("Xg", &w, &h, &descent, &leading);
    line_height_ = h + leading > 0 ? h + leading : 1;
    int page_height = GetLogicalPageRect().GetHeight();
    std::string name = path_.substr(path_.find_last_of('/') + 1);
    plan_ = plan_print(name, lines_.size(), limit_, print_lines_per_page(page_height, line_height_), copies_,
                       collate_);
  }

  bool HasPage(int page) override {
    return !failed_ && page >= 1 && static_cast<size_t>(page) <= print_sheet_count(plan_);
  }

  void GetPageInfo(int* min_page, int* max_page, int* from, int* to) override {
    *min_page = *from = 1;
    *max_page = *to = failed_ ? 0 : static_cast<int>(print_sheet_count(plan_));
  }

  bool OnPrintPage(int page) override {
    wxDC* dc = GetDC();
    if (!dc || !HasPage(page)) return false;
    const print_sheet& sheet = print_sheet_at(plan_, static_cast<size_t>(page - 1));
    MapScreenSizeToPage();
    set_print_font(dc);
    draw(dc, sheet.header, 0);
    for (size_t i = 0; i < sheet.line_count && sheet.first_line + i < lines_.size(); i++)
      draw(dc, lines_[sheet.first_line + i], static_cast<int>(i + PRINT_HEADER_LINES));
    return true;
  }

 private:
  void draw(wxDC* dc, const std::string& line, int row) {
    wxString text = line_text(line);
    if (postscript_) text = printable_on_postscript(text);
    dc->DrawText(text, 0, row * line_height_);
  }

  std::string path_;
  size_t limit_;
  unsigned copies_;
  int collate_;
  bool postscript_;
  bool failed_ = false;
  std::vector<std::string> lines_;
  print_plan plan_{};
  wxCoord line_height_ = 1;
};

int print_text_file(wxWindow* owner, const char* path, size_t limit) {
  wxPrintDialogData data;
  data.SetCollate(true);
  data.SetNoCopies(1);
  wxPrintDialog dialog(owner, &data);
  if (dialog.ShowModal() != wxID_OK || limit == 0) return 1;
  wxPrintDialogData chosen = dialog.GetPrintDialogData();
  // The copies are the layout's: the toolkit prints each sheet once.
  unsigned copies = chosen.GetNoCopies() > 0 ? static_cast<unsigned>(chosen.GetNoCopies()) : 1;
  int collate = chosen.GetCollate() ? 1 : 0;
  chosen.SetNoCopies(1);
  wxPrinter printer(&chosen);
  text_printout printout(path, limit, copies, collate, false);
  bool printed = printer.Print(owner, &printout, false);
  if (printout.failed()) return 0;
  return printed || wxPrinter::GetLastError() == wxPRINTER_CANCELLED ? 1 : 0;
}

int print_text_file_to_postscript(const char* path, const char* output, unsigned copies, int collate) {
  wxPrintData print;
  print.SetFilename(wxString::FromUTF8(output));
  print.SetPrintMode(wxPRINT_MODE_FILE);
  wxPrintDialogData data(print);
  data.SetNoCopies(1);
  // Without a range the PostScript printer prints nothing.
  data.SetFromPage(1);
  data.SetToPage(32767);
  data.SetAllPages(true);
  wxPostScriptPrinter printer(&data);
  text_printout printout(path, PRINT_NO_LIMIT, copies, collate, true);
  bool printed = printer.Print(nullptr, &printout, false);
  return printed && !printout.failed() ? 1 : 0;
}
