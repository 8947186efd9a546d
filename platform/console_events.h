// The console's key events for a program run in a console: Ctrl+C and
// Ctrl+Break (SIGINT and SIGQUIT on Linux, where SIGTERM counts as Ctrl+C), and the process set-up that
// keeps a console program alive when its console or a file limit fails it.
#pragma once

enum { CONSOLE_EVENT_CTRL_C = 0, CONSOLE_EVENT_CTRL_BREAK = 1 };

// Makes writes to a console or pipe that went away, and writes past a file
// size limit, fail as calls instead of ending the process.
void prepare_console_process();

// Hands the console's Ctrl+C and Ctrl+Break events to handler, which runs
// as ordinary code on a thread other than the caller's; a handler result of
// 0 leaves the event to the system's default. Call before anything is
// printed, so that a key pressed as soon as the program speaks is handled.
void watch_console_events(int (*handler)(int event));
