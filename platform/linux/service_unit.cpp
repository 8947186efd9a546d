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

// A directory for ReadWritePaths=: the leading "-" ignores a missing one.
static std::string writable_path(std::string_view directory) {
  std::string text = "-";
  text += directory;
  return quote_unit_path(text);
}

std::string format_service_unit(std::string_view executable_path) {
  if (!unit_path_is_safe(executable_path)) return std::string();
  std::string_view directory = executable_path.substr(0, executable_path.rfind('/') + 1);

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
  // The control channel's directory, made afresh for each run and writable
  // only by the service: nobody else can take the channel's name first.
  unit += "RuntimeDirectory=orvanel-tftp\n";
  unit += "RuntimeDirectoryMode=0755\n";
  // Root, like the system account of a Windows service: port 69, a root
  // directory anywhere, uploads owned as configured, the machine store.
  // What root does not need is taken away below.
  unit += "NoNewPrivileges=yes\n";
  unit += "PrivateTmp=yes\n";
  unit += "ProtectHome=read-only\n";
  unit += "ProtectSystem=full\n";
  // The machine store and the log files in the program directory stay writable.
  unit += "ReadWritePaths=" + writable_path("/etc/orvanel") + " " + writable_path(directory) + "\n";
  unit += "ProtectKernelTunables=yes\n";
  unit += "ProtectKernelModules=yes\n";
  unit += "ProtectKernelLogs=yes\n";
  unit += "ProtectControlGroups=yes\n";
  unit += "ProtectClock=yes\n";
  unit += "ProtectHostname=yes\n";
  unit += "RestrictAddressFamilies=AF_INET AF_UNIX\n";
  unit += "RestrictNamespaces=yes\n";
  unit += "RestrictRealtime=yes\n";
  unit += "RestrictSUIDSGID=yes\n";
  unit += "LockPersonality=yes\n";
  unit += "MemoryDenyWriteExecute=yes\n";
  unit += "SystemCallArchitectures=native\n";
  unit += "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_DAC_OVERRIDE CAP_DAC_READ_SEARCH CAP_CHOWN CAP_FOWNER\n";
  unit += "\n[Install]\n";
  unit += "WantedBy=multi-user.target\n";
  return unit;
}
