#!/usr/bin/env bash
# Builds a minimal Windows Perl 5.36 from Debian's perl source package with
# mingw-w64, for Windows x64 (64) or x86 (32), and prints the folder of the
# resulting Perl tree:
#
#   bin/perl.exe, bin/perl536.dll      threaded, multiplicity, PerlIO
#   lib/                               the pure-Perl library and Config.pm
#   lib/CORE/                          headers and libperl536.a, for XS code
#   site/lib/                          empty: where extensions are installed
#
# Linked into perl536.dll: DynaLoader, Win32CORE, Win32 and the XS parts of what
# Test::More, IO::Handle and Time::HiRes need (List::Util, mro, Fcntl, POSIX,
# Time::HiRes, IO, Cwd). Generated headers, Config.pm, the export list and
# xsubpp run with the build machine's perl.
#
# The tree is cached under ${SERVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servane}
# in winperl-<source version>-w<width>-<hash of this script, its helper and
# the compiler>; with the cache present a run only prints the folder. The
# source package is fetched once (apt-get source, after adding a deb-src
# entry for bookworm if there is none) into perl-source-<version>.
#
# Usage: scripts/build-windows-perl.sh 64|32
set -euo pipefail

width=${1:-}
case "$width" in
  64) triplet=x86_64-w64-mingw32 archname=MSWin32-x64-multi-thread ;;
  32) triplet=i686-w64-mingw32 archname=MSWin32-x86-multi-thread ;;
  *) echo "usage: $0 64|32" >&2; exit 2 ;;
esac

here=$(cd "$(dirname "$0")" && pwd)
helper=$here/winperl-ext.pl
version=5.36.0-7+deb12u3
cache=${SERVANE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/servane}
# Perl itself is C: the win32 thread model compilers need no extra runtime DLL.
cc=$triplet-gcc-win32
cxx=$triplet-g++-win32
for tool in "$cc" "$cxx" "$triplet-dlltool" "$triplet-windres" gcc perl dpkg-source; do
  command -v "$tool" >/dev/null || { echo "$0: $tool not found (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

key=$( { cat "$0" "$helper"; "$cc" --version; } | sha256sum | cut -c1-12)
dest=$cache/winperl-$version-w$width-$key
if [ -f "$dest/.complete" ]; then
  echo "$dest/perl"
  exit 0
fi

mkdir -p "$cache"
exec 9>"$dest.lock"
flock 9
if [ -f "$dest/.complete" ]; then   # built by another run while we waited
  echo "$dest/perl"
  exit 0
fi

say() { echo "build-windows-perl ($width-bit): $*" >&2; }
started=$(date +%s)

# --- the source package, fetched once for both widths ----------------------
srcpkg=$cache/perl-source-$version
fetch_source() {
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  if ! apt-cache showsrc "perl=$version" 2>/dev/null | grep -q "^Version: $version\$"; then
    say "adding a deb-src entry for bookworm"
    $sudo tee /etc/apt/sources.list.d/servane-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    $sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
  fi
  local tmp
  tmp=$(mktemp -d "$cache/perl-source.XXXXXX")
  say "fetching perl $version source"
  (cd "$tmp" && apt-get -o DPkg::Lock::Timeout=900 source --download-only -qq "perl=$version" >/dev/null 2>&1) \
    || { rm -rf "$tmp"; echo "$0: apt-get source perl=$version failed" >&2; exit 1; }
  rm -rf "$srcpkg"
  mv "$tmp" "$srcpkg"
}
(
  flock 8
  [ -f "$srcpkg/perl_$version.dsc" ] || fetch_source
) 8>"$srcpkg.lock"

# --- unpack ------------------------------------------------------------------
work=$dest.build
rm -rf "$work" "$dest"
mkdir -p "$work"
log=$work/build.log
# A failed build keeps only its log, beside where the tree would be.
trap 'status=$?; if [ $status -ne 0 ]; then mv "$log" "$dest.failed.log"; rm -rf "$work";
  echo "$0: failed; the log is $dest.failed.log" >&2; tail -n 15 "$dest.failed.log" >&2; fi' EXIT
say "unpacking into $work"
dpkg-source -x "$srcpkg/perl_$version.dsc" "$work/src" >>"$log" 2>&1
src=$work/src
cd "$src/win32"
# Names spelt in another case than the file's (Windows does not mind).
ln -s win32iop.h Win32iop.h
# Errno_pm.PL gathers its constants by including every header that errno.h
# and errno2.h pull in; gcc 12's x86 intrinsic headers refuse that.
perl -i -pe 'print "\tnext if \$file =~ /intrin\\.h\\z/;\n" if /^\tnext unless -f \$file;/' ../ext/Errno/Errno_pm.PL
# The same tree whenever it is built: __DATE__, __TIME__ and the configuration
# time from the package, and one hash order for the generators (Errno_pm.PL
# includes the headers it scans in hash order, and what they define depends
# on that order).
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l ../debian/changelog -STimestamp)
export SOURCE_DATE_EPOCH PERL_HASH_SEED=0 PERL_PERTURB_KEYS=0

# --- configuration: config.sh, Config.pm, config.h --------------------------
if [ "$width" = 64 ]; then
  win64=define defs="-DWIN32 -DWIN64" use64bitint=define
else
  win64=undef defs="-DWIN32" use64bitint=undef
fi
buildopt="-D__USE_MINGW_ANSI_STDIO -DPERL_TEXTMODE_SCRIPTS -DMULTIPLICITY -DPERL_IMPLICIT_SYS -DUSE_PERLIO -fwrapv -fno-strict-aliasing -mms-bitfields"
optimize=-O2
ccflags="$defs $buildopt"
libs="-lmoldname -lkernel32 -luser32 -lgdi32 -lwinspool -lcomdlg32 -ladvapi32 -lshell32 -lole32 -loleaut32 -lnetapi32 -luuid -lws2_32 -lmpr -lwinmm -lversion -lodbc32 -lodbccp32 -lcomctl32"
static_ext="Win32CORE Win32 List/Util mro Fcntl POSIX Time/HiRes IO Cwd"
# Extension folders: the static ones, DynaLoader, and the pure-Perl ones.
xs_dirs="ext/Win32CORE cpan/Win32 cpan/Scalar-List-Utils ext/mro ext/Fcntl ext/POSIX dist/Time-HiRes dist/IO dist/PathTools ext/DynaLoader"
pm_dirs="ext/Errno dist/XSLoader dist/lib dist/FindBin dist/Carp dist/Exporter dist/constant dist/base cpan/Test-Simple cpan/parent cpan/File-Path cpan/File-Temp ext/File-Find dist/if"

say "configuring"
perl -I. config_sh.PL \
  'INST_TOP=C:\perl' INST_VER= INST_ARCH= "archname=$archname" \
  "cc=$triplet-gcc" "ld=$triplet-g++" "ccflags=$ccflags" usecplusplus=undef \
  cf_email=nobody@localhost cf_by=nobody d_mymalloc=undef i_quadmath=undef \
  "libs=$libs" 'incpath=C:\mingw\include' libperl=libperl536.a 'libpth=C:\mingw\lib' \
  libc= make=gmake _o=.o obj_ext=.o _a=.a lib_ext=.a "static_ext=$static_ext" \
  usethreads=define useithreads=define usemultiplicity=define useperlio=define \
  "use64bitint=$use64bitint" uselongdouble=undef usequadmath=undef usesitecustomize=undef \
  default_inc_excludes_dot=define LINK_FLAGS=-s "optimize=$optimize" \
  "ARCHPREFIX=$triplet-" "WIN64=$win64" config.gc >../config.sh 2>>"$log"
# Config lists only what this tree has (no dynamic extensions), the package's
# time as the configuration time, and the compiler's version as numbers (Debian's mingw gcc says "12-win32" to
# -dumpversion, which the generators cannot compare).
gccversion=$(echo | "$cc" -E -dM - | perl -ne '$v{$1} = $2 if /#define __GNUC(|_MINOR|_PATCHLEVEL)__ (\d+)/;
  END { print join ".", @v{"", "_MINOR", "_PATCHLEVEL"} }')
cf_time=$(perl -e 'print scalar gmtime $ENV{SOURCE_DATE_EPOCH}')
perl -i -pe "s/^dynamic_ext=.*/dynamic_ext=' '/; s/^gccversion=.*/gccversion='$gccversion'/;
  s/^cf_time=.*/cf_time='$cf_time'/" ../config.sh
(cd .. && perl -I. -Ilib configpm >>"$log" 2>&1)
perl -I../lib config_h.PL "ARCHPREFIX=$triplet-" >>"$log" 2>&1
mkdir -p ../wincfg
cp ../lib/Config.pm ../lib/Config_heavy.pl ../wincfg/

# --- generated headers and files ---------------------------------------------
(cd .. && gcc -O -o generate_uudmap generate_uudmap.c && ./generate_uudmap uudmap.h bitcount.h mg_data.h) >>"$log" 2>&1
(cd .. && GIT_DIR=/nonexistent perl make_patchnum.pl) >>"$log" 2>&1
cp ../lib/Config_git.pl ../wincfg/
perl -I../wincfg create_perllibst_h.pl >>"$log" 2>&1
perl -I../wincfg ../makedef.pl PLATFORM=win32 $optimize $defs $buildopt CCTYPE=GCC TARG_DIR=../ \
  >perldll.def 2>>"$log"

# --- extensions: generated sources, objects to compile, library files ------
jobs=$src/win32/compile.jobs
: >"$jobs"
: >"$src/win32/pm.list"
incs="-I$src/win32/include -I$src/win32 -I$src"
ext_objs=()
ext_libs=
for dir in $xs_dirs $pm_dirs; do
  # What the core build's mkppport gives each XS extension.
  case " $xs_dirs " in
    *" $dir "*) (cd "$src/$dir" && perl -MDevel::PPPort -e 'Devel::PPPort::WriteFile("ppport.h")') ;;
  esac
  manifest=$(cd "$src/$dir" && perl "$helper" "$src/wincfg" "$(basename "$dir")" 2>>"$log") \
    || { echo "$0: preparing $dir failed" >&2; exit 1; }
  cflags=$(sed -n 's/^cflags //p' <<<"$manifest")
  while read -r kind a b; do
    case "$kind" in
      c)
        obj=$src/$dir/${a%.c}.o
        ext_objs+=("$obj")
        printf '%s\n' "cd '$src/$dir' && $cc -c $incs -I. $ccflags $optimize -DPERLDLL $cflags -o '$obj' '$a'" >>"$jobs" ;;
      libs) ext_libs="$ext_libs $a $b" ;;
      pm) printf '%s\n' "$src/$dir/$a $b" >>"$src/win32/pm.list" ;;
    esac
  done <<<"$manifest"
done

# --- the interpreter's own sources --------------------------------------------
core="toke regcomp regexec op sv pp pp_ctl pp_sys pp_pack pp_hot gv perl utf8 dump hv av
      builtin caretx deb doio doop dquote globals mro_core locale keywords mathoms mg numeric
      pad perly pp_sort reentr run scope taint time64 universal util perlio"
core_flags="$incs $defs -DPERLDLL -DPERL_CORE $optimize $buildopt"
core_objs=()
for f in $core; do
  core_objs+=("$src/$f.o")
  echo "cd '$src/win32' && $cc -c -I.. $core_flags -o '../$f.o' '../$f.c'" >>"$jobs"
done
for f in win32 win32sck win32thread fcrypt; do
  core_objs+=("$src/win32/$f.o")
  echo "cd '$src/win32' && $cc -c $core_flags -o '$f.o' '$f.c'" >>"$jobs"
done
# The host of an interpreter with its own system layer is C++.
core_objs+=("$src/win32/perllib.o")
echo "cd '$src/win32' && $cc -c $core_flags -xc++ -o perllib.o perllib.c" >>"$jobs"
echo "cd '$src/win32' && $cc -c ${core_flags/-DPERLDLL /} -o perlmain.o runperl.c" >>"$jobs"

say "compiling $(wc -l <"$jobs") files with $(nproc) jobs"
n=0
while read -r job; do
  n=$((n + 1))
  printf '%s\0' "($job) >'$src/win32/job$n.log' 2>&1 || { cat '$src/win32/job$n.log'; echo 'failed: $job'; exit 255; }"
done <"$jobs" | xargs -0 -P "$(nproc)" -n 1 sh -c >>"$log" 2>&1
cat "$src"/win32/job*.log >>"$log"

# --- link ---------------------------------------------------------------------
say "linking"
$triplet-windres --use-temp-file --include-dir=. --include-dir=.. -O COFF -D INCLUDE_MANIFEST \
  -i perlexe.rc -o perlexe.res >>"$log" 2>&1
# No link time in the PE headers: the same inputs give the same files. The
# linker builds the export table from the .def itself (dlltool's export file
# would stamp it with the current time); dlltool makes only the import library.
$triplet-dlltool -k -d perldll.def -D perl536.dll -l libperl536.a >>"$log" 2>&1
$cxx -shared -s -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -o perl536.dll \
  "${core_objs[@]}" "$src/ext/DynaLoader/DynaLoader.o" \
  $(printf '%s\n' "${ext_objs[@]}" | grep -v /ext/DynaLoader/) \
  perldll.def $ext_libs $libs >>"$log" 2>&1
$cxx -mconsole -s -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -o perl.exe perlmain.o perlexe.res libperl536.a \
  $libs >>"$log" 2>&1

# --- the tree -------------------------------------------------------------------
say "laying out the tree"
tree=$work/perl
mkdir -p "$tree/bin" "$tree/lib/CORE" "$tree/site/lib"
cp perl.exe perl536.dll "$tree/bin/"
tar -C ../lib --exclude='*.t' --exclude=./unicore --exclude=./perl5db/t --exclude=./CORE -cf - . \
  | tar -C "$tree/lib" -xf -
while read -r from to; do
  mkdir -p "$(dirname "$tree/lib/$to")"
  cp "$from" "$tree/lib/$to"
done <pm.list
cp ../*.h ./*.h "$tree/lib/CORE/"
cp -r include/. "$tree/lib/CORE/"
cp libperl536.a "$tree/lib/CORE/"

mkdir -p "$dest"
mv "$tree" "$dest/perl"
cp "$log" "$dest/build.log"
ended=$(date +%s)
times >"$dest/cpu-time"
echo "$((ended - started))" >"$dest/wall-seconds"
touch "$dest/.complete"
cd "$cache"
rm -rf "$work"
say "done in $((ended - started)) s"
echo "$dest/perl"
