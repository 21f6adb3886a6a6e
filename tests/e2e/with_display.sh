#!/usr/bin/env bash
# with_display.sh PROGRAM [ARGS...]: runs an end-to-end test with a display for
# Wine, starting Xvfb when none is set.
set -euo pipefail
. "$(dirname "$0")/../../scripts/display.sh"
"$@"
