#include "service_unit.h"

std::string quote_unit_path(std::string_view path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '%')
      quoted += "%%";  // specifiers are expanded in paths
    else
      quoted += c;
  }
  quoted += '"';
  return quoted;
}

int unit_path_is_safe(std::string_view path) {
  if (path.empty() || path[0] != '/') return 0;
  // systemd refuses executables whose names hold quotes or backslashes.
  for (char c : path)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\' || c == '"' || c == '\'') return 0;
  return 1;
}

// A user name as useradd makes them: nothing systemd would read otherwise.
static int user_name_is_plain(std::string_view user) {
  if (user.empty() || user.size() > 32 || !((user[0] >= 'a' && user[0] <= 'z') || user[0] == '_')) return 0;
  for (char c : user)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return 0;
  return 1;
}

std::string format_service_unit(std::string_view executable_path, std::string_view user) {
  if (!unit_path_is_safe(executable_path) || !user_name_is_plain(user)) return {};

  std::string unit;
  unit += "# Written by \"harrier -install\", removed by \"harrier -remove\".\n";
  unit += "[Unit]\n";
  unit += "Description=TFTP Server\n";
  unit += "After=network-online.target\n";
  unit += "Wants=network-online.target\n";
  unit += "\n[Service]\n";
  unit += "Type=notify\n";
  unit += "NotifyAccess=main\n";
  unit += "ExecStart=" + quote_unit_path(executable_path) + "\n";
  unit += "Restart=on-failure\n";
  unit += "RestartSec=5\n";
  unit += "TimeoutStopSec=30\n";
  // An unprivileged user of its own: files are served and received with that
  // user's rights, and port 69 is the one privilege it keeps. The programs,
  // the settings store and everything under /etc stay out of its reach.
  unit += "User=" + std::string(user) + "\n";
  unit += "Group=" + std::string(user) + "\n";
  unit += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  unit += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE\n";
  // /run/orvanel-tftp holds the control channel, /var/log/orvanel-tftp the
  // transfer log ($LOGS_DIRECTORY); both belong to the service user.
  unit += "RuntimeDirectory=orvanel-tftp\n";
  unit += "RuntimeDirectoryMode=0755\n";
  unit += "LogsDirectory=orvanel-tftp\n";
  unit += "LogsDirectoryMode=0750\n";
  unit += "UMask=0022\n";
  unit += "NoNewPrivileges=yes\n";
  unit += "PrivateTmp=yes\n";
  unit += "PrivateDevices=yes\n";
  unit += "ProtectHome=read-only\n";
  unit += "ProtectSystem=full\n";
  unit += "ProtectProc=invisible\n";
  unit += "ProtectKernelTunables=yes\n";
  unit += "ProtectKernelModules=yes\n";
  unit += "ProtectKernelLogs=yes\n";
  unit += "ProtectControlGroups=yes\n";
  unit += "ProtectClock=yes\n";
  unit += "ProtectHostname=yes\n";
  unit += "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX\n";
  unit += "RestrictNamespaces=yes\n";
  unit += "RestrictRealtime=yes\n";
  unit += "RestrictSUIDSGID=yes\n";
  unit += "RemoveIPC=yes\n";
  unit += "LockPersonality=yes\n";
  unit += "MemoryDenyWriteExecute=yes\n";
  unit += "SystemCallArchitectures=native\n";
  unit += "SystemCallFilter=@system-service\n";
  unit += "SystemCallFilter=~@privileged @resources\n";
  // A call outside the filter fails (an upload cannot give its file away)
  // rather than ending the service.
  unit += "SystemCallErrorNumber=EPERM\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}
