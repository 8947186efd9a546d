#!/usr/bin/env bash
# Installs, builds, and serves a demo directory with harrier in the console,
# or with --desktop in kestrel's window (needs a desktop session: DISPLAY).
# Port 6969 by default (no clash with a system TFTP server, no root needed to run).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
port=${PORT:-6969}
desktop=0
if [ "${1:-}" = "--desktop" ]; then
  desktop=1
elif [ -n "${1:-}" ]; then
  echo "usage: $0 [--desktop]" >&2
  exit 2
fi
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" build -DORVANEL_TESTS=OFF

# Started by root, harrier serves as the unprivileged user tftp (nobody where
# there is none), who may not enter a checkout under /root: the demo lives in
# a directory of its own, its root the server's to upload into, its store
# beside it (never inside the served directory).
demo=${DEMO_DIR:-/srv/orvanel-demo}
user=tftp
id -u "$user" >/dev/null 2>&1 || user=nobody
mkdir -p "$demo/root/boot" "$demo/etc"
chmod 755 "$demo" "$demo/etc"
printf 'Hello from the Orvanel TFTP server.\n' > "$demo/root/hello.txt"
head -c 1048576 /dev/urandom > "$demo/root/boot/image.bin"
chmod -R a+rX "$demo/root"
chown "$user:" "$demo/root"
cat > "$demo/etc/hklm.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]
"Port"="$port"
"RootDirectory"="$demo/root/"
REG
chmod 644 "$demo/etc/hklm.reg"
echo "Serving $demo/root on UDP port $port. Try in another terminal:"
echo "  curl -o /tmp/hello.txt tftp://127.0.0.1:$port/hello.txt"
echo "  tftp -m binary 127.0.0.1 $port -c get boot/image.bin /tmp/image.bin"
export ORVANEL_HKLM="$demo/etc/hklm.reg"
if [ "$desktop" = 1 ]; then
  if [ ! -x "$top/build/bin/kestrel" ]; then
    echo "kestrel was not built (wxWidgets 3.2 missing?)" >&2
    exit 1
  fi
  echo "End with File > Exit (the close box only hides the window; the tray icon brings it back)."
  exec "$top/build/bin/kestrel"
fi
echo "Stop with Ctrl+C."
exec "$top/build/bin/harrier" -debug
