#!/bin/sh
# Builds quillon (installing what Debian 12 lacks) and runs it with the given
# switches. Without switches it lists the example machine's devices:
# the report log lands beside the executable and is printed.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" build
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=Release -DQUILLON_BUILD_TESTS=OFF >/dev/null
cmake --build "$here/build" -j"$(nproc)"
exe="$here/build/app/quillon"
if [ "$#" -eq 0 ]; then
  "$exe" "/deviceSource=$here/examples/office-pc.json" /deviceCommand=enumDevices
  cat "$here/build/app/quillon.log"
else
  exec "$exe" "$@"
fi
