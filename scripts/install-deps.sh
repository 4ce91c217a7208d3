#!/usr/bin/env bash
# Installs every Debian package the project needs. Idempotent: packages already
# installed are skipped, and the package lists are refreshed at most once.
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake make pkg-config clang-format
  # Perl headers and libperl for the extensions and the embedding host
  perl perl-doc libperl-dev
  # the Windows layer's registry store
  libsqlite3-dev
  # C++ tests
  libgtest-dev
  # ostrel: Kerberos 5 library and com_err, and a loopback KDC for its tests
  libkrb5-dev comerr-dev krb5-kdc krb5-admin-server krb5-user
  # the service library's core and its suite built for Windows (GoogleTest
  # needs the posix thread model), run under Wine's service manager
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64
  # running a test process under another uid
  util-linux procps
  # fuzz targets (libFuzzer with ASan and UBSan); the sanitizer legs use g++
  clang-14 libclang-rt-14-dev
  # a Windows Perl from Debian's perl source (dpkg-source unpacks it; Perl
  # itself is built on the win32 thread model), both widths
  dpkg-dev xz-utils g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
)

# 32-bit Wine only where this kernel runs i386 programs.
i386=
if "$(dirname "$0")/i386-check.sh" 2>/dev/null; then
  i386=1
  packages+=(wine wine32:i386)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if [ -n "$i386" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get -o DPkg::Lock::Timeout=900 update -qq
$SUDO apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
