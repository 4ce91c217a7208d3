#!/usr/bin/env bash
# Runs the Windows Perl under Wine, with Win32::Servane from this checkout
# installed in its tree; every argument after the options goes to perl as is:
#
#   scripts/wine-perl.sh -MWin32::Servane -e "print Win32::Servane::GetVersion()"
#   scripts/wine-perl.sh -32 servane/t/01-constants.t
#
# Options (before perl's arguments):
#   -64, -32   the width of Perl and Wine (default 64)
#   --fresh    run in a new Wine prefix of its own, removed afterwards
#   --         end of these options
#
# The tree is BUILD_DIR/winperl<width> (BUILD_DIR defaults to the checkout's
# build/), brought up to date first with scripts/winperl-tree.sh. The Wine
# prefix is WINEPREFIX when set, else BUILD_DIR/wine<width>-prefix (made with
# scripts/wine-prefix.sh on first use). Exit status: perl's; 77 when that
# width cannot run here (the reason on stderr).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
width=64
fresh=
while [ $# -gt 0 ]; do
  case "$1" in
    -64) width=64 ;;
    -32) width=32 ;;
    --fresh) fresh=1 ;;
    --) shift; break ;;
    *) break ;;
  esac
  shift
done
case "$width" in
  64) loader=/usr/lib/wine/wine64 ;;
  32) loader=/usr/lib/wine/wine ;;
esac

build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)
tree=$build/winperl$width

# Whether this width runs at all, before building anything for it.
if [ "$width" = 32 ] && ! reason=$("$root/scripts/i386-check.sh" 2>&1); then
  echo "wine-perl: 32-bit Wine cannot run here: ${reason#i386-check: }" >&2
  exit 77
fi
[ -x "$loader" ] || { echo "wine-perl: $loader is missing" >&2; exit 77; }

"$root/scripts/winperl-tree.sh" "$width" "$tree"

if [ -n "$fresh" ]; then
  scratch=$(mktemp -d)
  prefix=$scratch/prefix
  trap 'WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
  "$root/scripts/wine-prefix.sh" "$width" "$prefix"
elif [ -n "${WINEPREFIX:-}" ]; then
  prefix=$WINEPREFIX
else
  prefix=$build/wine$width-prefix
  (
    flock 9
    [ -f "$prefix/system.reg" ] || "$root/scripts/wine-prefix.sh" "$width" "$prefix"
  ) 9>"$prefix.lock"
fi

status=0
WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} "$loader" "$tree/bin/perl.exe" "$@" || status=$?
exit $status
