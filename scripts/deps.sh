#!/usr/bin/env bash
# Installs the Debian packages the receiver and its tests need, only those
# missing, without questions. Safe to run again.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-serialport-dev qt6-multimedia-dev
  libgtest-dev libgmock-dev
  # The fuzz build: clang with its sanitizer and libFuzzer runtimes, and
  # llvm-symbolizer for readable sanitizer reports.
  clang libclang-rt-14-dev llvm
  clang-format
  # Holds the functions below the window to 60 lines (function_size.* tests).
  clang-tidy
  # Checks the menu and autostart entries scripts/install.sh writes.
  desktop-file-utils
  # Traces the receiver's system calls in one end-to-end test (the journal
  # is synced before each ACK leaves).
  strace
  # sd_notify for the receiver run as a systemd service (pkg-config libsystemd).
  libsystemd-dev
)
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
