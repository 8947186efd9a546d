#!/usr/bin/env bash
# Installs, builds, and serves a demo directory with harrier in the console.
# Port 6969 by default (no clash with a system TFTP server, no root needed to run).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
port=${PORT:-6969}
"$top/scripts/install-deps.sh"
"$top/scripts/build.sh" build -DORVANEL_TESTS=OFF

demo="$top/demo"
mkdir -p "$demo/root/boot"
printf 'Hello from the Orvanel TFTP server.\n' > "$demo/root/hello.txt"
head -c 1048576 /dev/urandom > "$demo/root/boot/image.bin"
cat > "$demo/hklm.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\Software\\Orvanel\\Kestrel]
"Port"="$port"
"RootDirectory"="$demo/root/"
REG
echo "Serving $demo/root on UDP port $port. Try in another terminal:"
echo "  curl -o /tmp/hello.txt tftp://127.0.0.1:$port/hello.txt"
echo "  tftp -m binary 127.0.0.1 $port -c get boot/image.bin /tmp/image.bin"
echo "Stop with Ctrl+C."
export ORVANEL_HKLM="$demo/hklm.reg"
exec "$top/build/bin/harrier" -debug
