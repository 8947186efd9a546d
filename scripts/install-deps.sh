#!/usr/bin/env bash
# Installs what building, running and testing the suite needs (Debian 12, as root).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# tftpd-hpa's package starts a daemon on port 69 where an init system runs;
# the tests start their own servers on high ports and never need it.
# systemd gives systemd-analyze, which checks the service unit harrier writes.
# kestrel needs wxWidgets 3.2 on GTK 3 (and Xlib for its test screenshots);
# its tests run it under Xvfb and click with xdotool, and turn its printouts
# into pictures with Ghostscript.
apt-get install -y -qq --no-install-recommends \
  build-essential g++ cmake make pkg-config libgtest-dev clang libclang-rt-14-dev \
  python3 curl tftp-hpa atftp tftpd-hpa iproute2 util-linux mount procps binutils ca-certificates \
  systemd libwxgtk3.2-dev libx11-dev xvfb xauth xdotool ghostscript >/dev/null
# The crowd benchmark (bench/bench_crowd.py) compares with dnsmasq's TFTP
# server; dnsmasq-base is the program without a service that would start.
apt-get install -y -qq --no-install-recommends dnsmasq-base >/dev/null
# The package test builds the .debs (debhelper, dpkg-dev, fakeroot), checks
# them with lintian and renders the man pages (man-db, groff-base: groff and
# lexgrog for the man page test too).
apt-get install -y -qq --no-install-recommends \
  debhelper dpkg-dev fakeroot lintian man-db groff-base git >/dev/null

# atftpd conflicts with tftpd-hpa as a package: its .deb is unpacked into
# build-deps/, where the tests look for it. Fetched here, because tests run
# in network namespaces without a network and must never download.
deps="$top/build-deps"
if [ ! -x "$deps/atftpd/usr/sbin/atftpd" ]; then
  rm -rf "$deps/atftpd" && mkdir -p "$deps/atftpd"
  (cd "$deps" && rm -f atftpd_*.deb && apt-get download -qq atftpd 2>/dev/null)
  dpkg -x "$(ls "$deps"/atftpd_*.deb | tail -n 1)" "$deps/atftpd"
  test -x "$deps/atftpd/usr/sbin/atftpd"
fi
