#!/usr/bin/env bash
# Installs what is missing, builds and starts the receiver.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found: the receiver runs on Qt's offscreen platform (no window is shown)."
  echo "Its log files are under build/Log; stop it with Ctrl+C."
  export QT_QPA_PLATFORM=offscreen
fi
exec ./build/RAZUDovuve
