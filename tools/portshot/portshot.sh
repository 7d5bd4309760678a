#!/usr/bin/env bash
# The README's picture of the port list: tw_portshot on a private Xvfb, in the
# build folder's Wine prefix, converted to PNG. Builds nothing:
#   cmake --build --preset mingw --target tw_portshot
#   tools/portshot/portshot.sh [BUILD_DIR] [OUT.png]   (build/mingw, docs/ports.png)
set -euo pipefail
build_arg=$(cd "${1:-$(dirname "${BASH_SOURCE[0]}")/../../build/mingw}" && pwd)
out_arg=$(realpath -m "${2:-$(dirname "${BASH_SOURCE[0]}")/../../docs/ports.png}")
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
# tw_cleanup then resets this build's bench and ends its Wine server.
build=$build_arg
exe="$build/tools/portshot/tw_portshot.exe"
[ -f "$exe" ] || { echo "portshot.sh: no $exe; build the tw_portshot target first" >&2; exit 1; }
command -v convert >/dev/null || { echo "portshot.sh: no convert (install imagemagick)" >&2; exit 1; }

# The picture is copied from the screen: a display of its own, with nothing
# else on it.
unset DISPLAY
tw_start_xvfb
bmp="$build/portshot.bmp"
rm -f "$bmp"
tools/testbench/wine-run.sh "$build" "$exe" "Z:$bmp"
# What lies outside both windows is in the tool's key colour.
convert "$bmp" -transparent "#FF00FF" "$out_arg"
echo "portshot.sh: $out_arg"
