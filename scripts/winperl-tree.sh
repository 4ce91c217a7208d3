#!/usr/bin/env bash
# Makes DEST a Windows Perl tree (64- or 32-bit) with Win32::Servane and
# Win32::Servane::Control installed: the cached Perl of
# scripts/build-windows-perl.sh (its lib/ linked, its bin/ copied, so that
# the tree's own site/lib is on the default @INC), and Servane.dll and
# Control.dll built from this checkout into DEST/site/lib. The DLLs' build
# folder is DEST/build (incremental); svcdrive.exe, the tests' service
# controller, goes to DEST/test-bin. Safe to run concurrently on one DEST.
#
# Usage: scripts/winperl-tree.sh 64|32 DEST
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: $0 64|32 DEST" >&2; exit 2; }
width=$1
dest=$2
case "$width" in
  64) triplet=x86_64-w64-mingw32 ;;
  32) triplet=i686-w64-mingw32 ;;
  *) echo "usage: $0 64|32 DEST" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)

perl_tree=$("$root/scripts/build-windows-perl.sh" "$width")

mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
exec 9>"$dest/.lock"
flock 9

# The Perl itself: a link to the cached library, a copy of the programs (the
# interpreter finds lib/ and site/lib/ beside the bin/ it was started from).
if [ "$(readlink "$dest/lib" 2>/dev/null)" != "$perl_tree/lib" ]; then
  rm -rf "$dest/lib" "$dest/bin"
  ln -s "$perl_tree/lib" "$dest/lib"
fi
mkdir -p "$dest/bin" "$dest/site/lib" "$dest/test-bin"
for f in perl.exe perl536.dll; do
  cmp -s "$perl_tree/bin/$f" "$dest/bin/$f" || cp "$perl_tree/bin/$f" "$dest/bin/$f"
done

build=$dest/build
# Configured once per Perl; later builds re-run CMake only when its files change.
if ! grep -qxF "WINDOWS_PERL:PATH=$perl_tree" "$build/CMakeCache.txt" 2>/dev/null; then
  rm -rf "$build"
  cmake -S "$root/servane/winperl" -B "$build" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$triplet.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DWINDOWS_PERL="$perl_tree" \
    -DCMAKE_INSTALL_PREFIX="$dest/site" -DSERVANE_TEST_TOOLS=ON >"$dest/configure.log" 2>&1 \
    || { cat "$dest/configure.log" >&2; exit 1; }
fi
cmake --build "$build" -j "$(nproc)" >"$dest/build.log" 2>&1 || { cat "$dest/build.log" >&2; exit 1; }
cmake --install "$build" >/dev/null
cmp -s "$build/svcdrive.exe" "$dest/test-bin/svcdrive.exe" || cp "$build/svcdrive.exe" "$dest/test-bin/"
