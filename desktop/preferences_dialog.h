// The preferences sheet: the pages General, Language, Server and Options
// from the templates 106, 105, 107 and 108 of resource_module, with OK,
// Cancel and Apply. The pages copy their controls into the records of
// preferences_pages.h and apply those; nothing here decides a value.
#pragma once

class wxWindow;
class wxDialog;

// Runs the sheet modally. A sheet that cannot be built (a module without a
// page's template) shows nothing and changes nothing.
void show_preferences(wxWindow* owner);

// The sheet while it is open, else nullptr (for the test driver).
extern wxDialog* preferences_sheet;

// Applies every page, as the Apply button does; returns 1 when every page
// stored all its values.
int apply_preferences();
