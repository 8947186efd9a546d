// Installing and removing Harrier as the system service "TFTPService".
#pragma once

// Registers the running executable as the service, enables and starts it.
// Returns 1 when the service was installed, 0 after a failure message.
int install_service();

// Stops the service (polling) and deletes it. Returns 1 when it was
// deleted (stopped or not), 0 after a failure message.
int remove_service();

// Sends the stop control and polls until the service left stop pending,
// at most 30 times a second apart, printing a dot each time. Returns 1
// when the service ended up stopped.
int stop_installed_service(const char* name);
