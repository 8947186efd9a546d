#!/usr/bin/env bash
# Installs what building, running and testing the suite needs (Debian 12, as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
# tftpd-hpa's package starts a daemon on port 69 where an init system runs;
# the tests start their own servers on high ports and never need it.
# systemd gives systemd-analyze, which checks the service unit harrier writes.
apt-get install -y -qq --no-install-recommends \
  build-essential g++ cmake make pkg-config libgtest-dev clang libclang-rt-14-dev \
  python3 curl tftp-hpa atftp tftpd-hpa iproute2 util-linux mount procps binutils ca-certificates \
  systemd >/dev/null
