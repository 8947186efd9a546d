// The access-rule editor, dialog 109 of resource_module: the rule rows of
// access_editor.h in a list, the fields of the clicked row, the pop-up
// with "&New Entry" and "&Remove Entry", and OK that stores everything in
// one replacement of the Access key.
#pragma once

class wxWindow;
class wxDialog;

// Runs the editor modally; "Failed to create dialog" when the module has
// no template 109.
void show_access_editor(wxWindow* owner);

// The commands of the pop-up menu (40007, 40008), on the open editor's
// selected row; nothing when no editor is open or no row is selected.
void access_new_entry();
void access_remove_entry();

// The editor while it is open, else nullptr (for the test driver).
extern wxDialog* access_dialog;
