// One program per user and display: a later start asks the running one to
// show itself (command 61728) and ends.
#pragma once

#include <string>

enum { INSTANCE_FIRST = 0, INSTANCE_SIGNALLED = 1 };

// The socket name of this user on this display.
std::string instance_name();

// Claims the name. When another instance of this user holds it, sends it
// the message and returns INSTANCE_SIGNALLED; else INSTANCE_FIRST (also
// when another user squats on the name: this start then runs alone).
int claim_single_instance();

// Answers later starts on a thread of its own; each message has the main
// thread run command 61728.
void start_instance_listener();
void stop_instance_listener();
