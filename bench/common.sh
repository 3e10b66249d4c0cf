# What bench/run.sh and bench/compare.sh share: a work folder and generated
# sysfs trees removed on exit, no display unless asked for, and an Xvfb.
# Sourced; needs $build (the build with the bench tools).

work=$(mktemp -d)
xvfb_pid=""
trees=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  for tree in $trees; do rm -rf "$tree"; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

# start_xvfb: starts a bare X server, stopped on exit; its display (":N")
# in $xvfb_display, empty when it did not start.
start_xvfb() {
  xvfb_display=""
  Xvfb -displayfd 1 -screen 0 1280x1024x24 -nolisten tcp -noreset >"$work/display" 2>/dev/null &
  xvfb_pid=$!
  sleep 1
  if kill -0 "$xvfb_pid" 2>/dev/null && [ -s "$work/display" ]; then
    xvfb_display=":$(cat "$work/display")"
  fi
}

# generate_tree N: a generated sysfs tree of about N nodes, removed on exit;
# its root in $tree.
generate_tree() {
  tree=$("$build/bench/quillon-gen-sysfs" "$1")
  trees="$trees $tree"
}
