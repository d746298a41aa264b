#!/usr/bin/env bash
# Without a display the program says so in one line on stderr and exits with 2.
set -u
program=$1
check() {
  local stderr rc
  stderr=$("$@" 2>&1 >/dev/null)
  rc=$?
  if [ "$rc" -ne 2 ]; then echo "exit code $rc, not 2: $*"; exit 1; fi
  if [ "$(printf '%s\n' "$stderr" | wc -l)" -ne 1 ] || [[ "$stderr" != ravelsk:* ]]; then
    echo "not one ravelsk line on stderr: $stderr"; exit 1
  fi
}
check env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program"
# A display that is named but not there.
check env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711 "$program"
echo "2 passed, 0 failed"
