// Automation of the real program for its tests: with KESTREL_TEST_DRIVER
// set to a socket name, a thread answers one-line commands of this user
// (state, menu N, close, move X Y, screenshot PATH [BELOW], dismiss, and the
// dialog verbs of dialog_driver.h), each carried out on the main thread. Unset, nothing of
// this runs.
#pragma once

// Starts the driver when the variable is set; returns 1 then, else 0.
int start_test_driver();
void stop_test_driver();
