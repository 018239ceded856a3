#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the local server stack need.
set -euo pipefail
cd "$(dirname "$0")/.."
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
# shellcheck disable=SC2046
$SUDO apt-get install -y -q --no-install-recommends $(grep -v '^\s*#' tools/debian-packages.txt | tr '\n' ' ')
