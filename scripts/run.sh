#!/usr/bin/env bash
# Builds the updater and runs it against a local demo host (nginx on 127.0.0.1).
# With a display it opens there; without one it runs itself through under Xvfb and prints the
# screenshots it took.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/build.sh"
if [ -n "${DISPLAY:-}" ]; then
  exec /usr/bin/python3 "$root/scripts/demo.py"
fi
exec dbus-run-session -- /usr/bin/python3 "$root/scripts/demo.py" 2> >(grep -v -E 'fd limit|Deprecat|ret = func|return Atspi|dbus-daemon|SpiRegistry' >&2)
