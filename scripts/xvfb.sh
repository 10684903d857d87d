# A private Xvfb display for the scripts that drive the window. Sourced, not
# executed.
#   rs485_start_xvfb WORK_DIR   starts Xvfb on a free display number, sets
#                               xvfb (its pid) and DISPLAY; returns 1 when it
#                               did not come up. The caller stops $xvfb.
rs485_start_xvfb() {
  local work="$1"
  # Xvfb picks a free number and writes it to fd 7.
  Xvfb -displayfd 7 -screen 0 1024x768x24 -nolisten tcp 7>"$work/display" >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  for _ in $(seq 200); do
    grep -q . "$work/display" 2>/dev/null && break
    sleep 0.1
  done
  grep -q . "$work/display" || { cat "$work/xvfb.log" >&2; echo "Xvfb did not start" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$work/display")"
  unset QT_QPA_PLATFORM WAYLAND_DISPLAY
}
