# shellcheck shell=sh
# What bench/run.sh and bench/compare.sh share: a work folder and generated
# sysfs trees removed on exit, no display unless asked for, and an Xvfb
# (scripts/xvfb.sh). Sourced; needs $here (the repository) and $build (the
# build with the bench tools).
# shellcheck disable=SC2154 # $here and $build are the sourcing script's

# shellcheck source=scripts/xvfb.sh
. "$here/scripts/xvfb.sh"
work=$(mktemp -d)
trees=""
cleanup() {
  xvfb_stop
  for tree in $trees; do rm -rf "$tree"; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

# start_xvfb: starts a bare X server, stopped on exit; its display (":N")
# in $xvfb_display, empty when it did not start.
start_xvfb() {
  xvfb_start "$work" || true
}

# generate_tree N: a generated sysfs tree of about N nodes, removed on exit;
# its root in $tree.
generate_tree() {
  tree=$("$build/bench/quillon-gen-sysfs" "$1")
  trees="$trees $tree"
}
