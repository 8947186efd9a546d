// The systemd unit that installs Harrier as the service "TFTPService".
#pragma once

#include <string>
#include <string_view>

// The unit file's text for the executable at executable_path (absolute),
// run as the system user `user`. Returns an empty string when the path or
// the name cannot be written into a unit.
std::string format_service_unit(std::string_view executable_path, std::string_view user);

// 1 when systemd can run an executable of that path: absolute, without
// control characters, quotes or backslashes.
int unit_path_is_safe(std::string_view path);

// A path quoted for a unit file, so that blanks and "%" are taken literally.
std::string quote_unit_path(std::string_view path);
