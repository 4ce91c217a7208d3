#!/usr/bin/env bash
# wine-prefix.sh 64|32 DEST
#
# Makes DEST a freshly booted Wine prefix of that width (win64 or win32) by
# copying a booted prefix from the cache; the cached one is booted once
# (wineboot -i, then wineserver -w) when missing. The cache lives under
# ${SERVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servane}, keyed by the Wine
# version, the width and this script.
#
# Exit status: 0 done; 77 this width cannot run here (the reason on stderr);
# 2 bad arguments or a DEST that is not a prefix; 1 any other failure.
set -euo pipefail

usage() {
  echo "usage: $0 64|32 DEST" >&2
  exit 2
}
skip() {
  echo "wine-prefix: $*" >&2
  exit 77
}

[ $# -eq 2 ] || usage
width=$1
dest=$2
here=$(cd "$(dirname "$0")" && pwd)
case "$width" in
  64) loader=/usr/lib/wine/wine64 arch=win64 package=wine64 ;;
  32) loader=/usr/lib/wine/wine arch=win32 package="wine32:i386" ;;
  *) usage ;;
esac
wineserver=/usr/lib/wine/wineserver

if [ "$width" = 32 ]; then
  reason=$("$here/i386-check.sh" 2>&1) || skip "32-bit Wine cannot run here: ${reason#i386-check: }"
fi
[ -x "$loader" ] || skip "$loader is missing (Debian package $package)"
version=$("$loader" --version 2>/dev/null) || skip "$loader does not run"

# A DEST that exists must be an empty folder or an earlier prefix.
if [ -e "$dest" ] || [ -L "$dest" ]; then
  if [ -d "$dest" ] && [ ! -L "$dest" ] && [ -z "$(ls -A "$dest")" ]; then
    rmdir "$dest"
  elif [ -f "$dest/system.reg" ]; then
    WINEPREFIX=$dest "$wineserver" -k 2>/dev/null || true
    rm -rf "$dest"
  else
    echo "wine-prefix: $dest exists and is not a Wine prefix" >&2
    exit 2
  fi
fi

cache_root="${SERVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servane}"
script_hash=$(sha256sum "$0" | cut -c1-12)
cached="$cache_root/wine-prefix-${version//[^A-Za-z0-9.]/_}-$arch-$script_hash"

boot() {
  local prefix log
  prefix=$(mktemp -d "$cached.boot.XXXXXX")
  log="$prefix.log"
  # No Mono or Gecko: nothing here needs them, and their installers only
  # slow the boot down.
  if ! WINEPREFIX=$prefix WINEARCH=$arch WINELOADER=$loader WINEDEBUG=-all \
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 600 "$loader" wineboot -i >"$log" 2>&1 ||
    ! WINEPREFIX=$prefix timeout 120 "$wineserver" -w >>"$log" 2>&1 ||
    [ ! -f "$prefix/system.reg" ]; then
    echo "wine-prefix: booting a $arch prefix failed:" >&2
    tail -n 20 "$log" >&2
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
    rm -rf "$prefix" "$log"
    exit 1
  fi
  rm -f "$log"
  mv "$prefix" "$cached"
}

if [ ! -f "$cached/system.reg" ]; then
  mkdir -p "$cache_root"
  # One boot at a time per key; whoever waited finds it done.
  exec 9>"$cached.lock"
  flock 9
  if [ ! -f "$cached/system.reg" ]; then
    rm -rf "$cached"
    echo "wine-prefix: booting a cached $arch prefix ($version), once" >&2
    boot
  fi
  flock -u 9
fi

mkdir -p "$(dirname "$dest")"
cp -a "$cached" "$dest.copy.$$"
mv "$dest.copy.$$" "$dest"
