# Sourced by the scripts that run Windows programs: gives Wine a display. With
# none set, starts Xvfb on a free display number and stops it when the script ends.
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 120); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    kelp_xvfb_pid=$!
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    if kill -0 "$kelp_xvfb_pid" 2>/dev/null; then
      export DISPLAY=":$n"
      trap 'kill "$kelp_xvfb_pid" 2>/dev/null || true' EXIT
      break
    fi
  done
fi
