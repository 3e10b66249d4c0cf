#!/bin/sh
# Builds quillon (installing what Debian 12 lacks) and runs it with the given
# switches. Without switches it lists the example machine's devices: the
# report log lands beside the executable and is printed.
#
# A /deviceSource= naming a file under examples/ is replaced by a fresh copy
# in build/examples/, so trying changes on the example machine never rewrites
# the tracked file.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" build
(cd "$here" && cmake --preset native >/dev/null)
cmake --build "$here/build" -j"$(nproc)"
exe="$here/build/app/quillon"

examples=$(cd "$here/examples" && pwd -P)
copies="$here/build/examples"
rm -rf "$copies"
cp -R "$examples" "$copies"

# The copy that stands for FILE, when FILE is one of the examples.
example_copy() {
  [ -f "$1" ] || return 1
  real=$(realpath "$1")
  case $real in
    "$examples"/*) echo "$copies/${real#"$examples"/}" ;;
    *) return 1 ;;
  esac
}

if [ "$#" -eq 0 ]; then
  "$exe" "/deviceSource=$copies/office-pc.json" /deviceCommand=enumDevices
  cat "$here/build/app/quillon.log"
  exit 0
fi

for argument do
  shift
  case $argument in
    /[dD][eE][vV][iI][cC][eE][sS][oO][uU][rR][cC][eE]=?*)
      if copy=$(example_copy "${argument#*=}"); then
        echo "run.sh: using $copy, a fresh copy of ${argument#*=}" >&2
        argument="${argument%%=*}=$copy"
      fi
      ;;
  esac
  set -- "$@" "$argument"
done
exec "$exe" "$@"
