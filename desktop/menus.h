// The menu bar (menu 102), the command table, help and the about box.
#pragma once

enum {
  CMD_START = 40001,
  CMD_STOP = 40002,
  CMD_VIEW_LOG = 40003,
  CMD_EXIT = 40004,
  CMD_PREFERENCES = 40005,
  CMD_ACCESS_CONTROL = 40006,
  CMD_NEW_ACCESS_ROW = 40007,
  CMD_REMOVE_ACCESS_ROW = 40008,
  CMD_HELP = 40009,
  CMD_ABOUT = 40012,
  CMD_FIRST = CMD_START,
  CMD_LAST = CMD_ABOUT,
  CMD_RESTORE = 61728,  // a second start of the program
};

// Loads menu 102 from resource_module as the menu bar (the old one is
// destroyed after), checks "Start..." or "Stop..." after server_paused and
// builds the tray menu anew.
void build_menus();

// The main window's command handler.
void on_command(int command);

// Exit: closes the main window for good, which ends the program.
void exit_program();

// "tftp-d.htm" for a German user language, else "tftp.htm".
const char* help_file_name(const char* language);

// The user's language as the locale variables give it ("de_DE.UTF-8"), or "".
const char* user_language();

// Opens the help file beside the program with the desktop's browser; a
// missing file gives no message.
void open_help();

// The about box 103 of the program's own resources.
void show_about();
