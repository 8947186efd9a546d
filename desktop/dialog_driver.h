// The test driver's commands on the open modal dialog, as a user's clicks
// and typing would do them: each change goes through the control's own
// notification, so the dialog's handlers run as they would for a user.
#pragma once

#include <sstream>
#include <string>

class wxDialog;
class wxString;

// The dialog in front: the last one shown (a message box over a dialog is
// the one in front), only among modal ones when modal_only; or nullptr.
wxDialog* front_dialog(int modal_only);

// The text as a JSON string literal (UTF-8, quotes, backslashes and control
// characters escaped).
std::string json_text(const wxString& text);

// Carries out one dialog verb (dialog, page, set, get, press, list, shot,
// print); returns its answer, or "" when verb is none of them.
std::string run_dialog_command(const std::string& verb, std::istringstream& in);
