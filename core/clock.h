// The monotonic clock that every wait and deadline of the core is measured on.
#pragma once

#include "platform/clock.h"
