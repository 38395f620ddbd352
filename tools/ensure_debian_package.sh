#!/usr/bin/env bash
# Installs a Debian package when its command is missing (CI machines start without
# node and chromium).
#   tools/ensure_debian_package.sh COMMAND PACKAGE
set -euo pipefail
command -v "$1" >/dev/null 2>&1 && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "$2" >/dev/null
command -v "$1" >/dev/null
