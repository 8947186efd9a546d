#include "desktop/log_printout.h"

#include <wx/dc.h>
#include <wx/dcps.h>
#include <wx/font.h>
#include <wx/print.h>

#include <string>
#include <utility>
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

// The toolkit's printout, kept thin: it draws the sheets of a plan over
// lines read before the print begins.
class text_printout : public wxPrintout {
 public:
  text_printout(const std::string& path, std::vector<std::string> lines, size_t limit, unsigned copies, int collate,
                bool postscript)
      : wxPrintout(wxString::FromUTF8(path)), path_(path), limit_(limit < PRINT_LINE_LIMIT ? limit : PRINT_LINE_LIMIT),
        copies_(copies), collate_(collate), postscript_(postscript), lines_(std::move(lines)) {}

  bool failed() const { return failed_; }

  void OnPreparePrinting() override {
    wxDC* dc = GetDC();
    if (!dc) {
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

  // Before OnPreparePrinting, and after a failed one, the plan has no
  // sheets: one page is named then, as the toolkit asserts on a last page
  // of 0.
  void GetPageInfo(int* min_page, int* max_page, int* from, int* to) override {
    size_t sheets = print_sheet_count(plan_);
    *min_page = *from = 1;
    *max_page = *to = sheets > 0 ? static_cast<int>(sheets) : 1;
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
  std::vector<std::string> lines_;
  bool failed_ = false;
  print_plan plan_{};
  wxCoord line_height_ = 1;
};

print_result print_text_file(wxWindow* owner, const char* path, size_t limit) {
  if (limit == 0) return PRINT_DONE;
  // The file is read first: one that cannot be read fails before any dialog.
  std::vector<std::string> lines;
  if (!read_print_lines(path, limit < PRINT_LINE_LIMIT ? limit : PRINT_LINE_LIMIT, &lines)) return PRINT_FAILED;
  // The dialog takes its presets from the print data, not from the
  // dialog data's own fields.
  wxPrintData print;
  print.SetCollate(true);
  print.SetNoCopies(1);
  wxPrintDialogData data(print);
  data.SetCollate(true);
  data.SetNoCopies(1);
  wxPrinter printer(&data);
  // The toolkit's print dialog belongs to its print job: shown on its own,
  // it answers the user's Print as a cancel. So the job shows it. The copies
  // chosen there are the job's (the toolkit's or the print service's): the
  // layout gives one.
  text_printout printout(path, std::move(lines), limit, 1, 1, false);
  if (printer.Print(owner, &printout, true) && !printout.failed()) return PRINT_DONE;
  if (!printout.failed() && wxPrinter::GetLastError() == wxPRINTER_CANCELLED) return PRINT_CANCELLED;
  return PRINT_FAILED;
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
  std::vector<std::string> lines;
  if (!read_print_lines(path, PRINT_LINE_LIMIT, &lines)) return 0;
  wxPostScriptPrinter printer(&data);
  text_printout printout(path, std::move(lines), PRINT_NO_LIMIT, copies, collate, true);
  bool printed = printer.Print(nullptr, &printout, false);
  return printed && !printout.failed() ? 1 : 0;
}
