// The log viewer, dialog 110 of resource_module: the transfer log files
// beside the program in a drop-down list, the result lines of the chosen
// one as rows with a check mark or a red cross, and "&Print".
#pragma once

class wxWindow;
class wxDialog;

// Runs the viewer modally; "Failed to create dialog" when the module has
// no template 110.
void show_log_viewer(wxWindow* owner);

// Places the controls for a client area of width by height.
void layout_log_viewer(wxDialog* dialog, int width, int height);

// The viewer while it is open, else nullptr (for the test driver).
extern wxDialog* log_dialog;
