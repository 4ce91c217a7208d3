#!/usr/bin/env bash
# Installs a build with "cmake --install" into a temporary prefix (and once
# more through DESTDIR), checks the installed set (programs, libraries,
# headers, Perl modules under <prefix>/lib/perl5), that nothing in it names
# the build tree, and that it works on its own: the installed Perl module
# creates a service whose script uses it, and the installed svcctl starts,
# controls and stops it with the installed supervisor.
#   scripts/check-install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
supervisor_pids() { pgrep -f "^$work/prefix/bin/svcsupervisor" || true; }
cleanup() {
    for pid in $(supervisor_pids); do kill -9 "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "check-install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
DESTDIR="$work/dest" cmake --install "$build" --prefix /opt/servane >/dev/null

arch=$(perl -MConfig -e 'print $Config{archname}')
for root in "$work/prefix" "$work/dest/opt/servane"; do
    for f in bin/svcctl bin/svcsupervisor bin/ostrel bin/zephra-host lib/mod_echo.so \
             lib/libwin32posix.a lib/libkrb4.a include/win32posix/windows.h \
             include/win32posix/winsvc.h include/zephra/core.h include/krb4/krb.h \
             "lib/perl5/$arch/Win32/Servane.pm" "lib/perl5/$arch/auto/Win32/Servane/Servane.so" \
             "lib/perl5/$arch/Zephra2/Module.pm" share/win32posix/win32posix-boot.service; do
        [ -e "$root/$f" ] || fail "$root/$f is not installed"
    done
done
grep -qx "ExecStart=$work/prefix/bin/svcctl boot" "$work/prefix/share/win32posix/win32posix-boot.service" &&
    grep -qx "ExecStart=/opt/servane/bin/svcctl boot" \
        "$work/dest/opt/servane/share/win32posix/win32posix-boot.service" ||
    fail "the boot unit does not run the installed svcctl"
[ -z "$(find "$work/dest" -path "$work/dest/opt/servane" -prune -o -type f -print)" ] ||
    fail "DESTDIR install wrote outside its prefix"
if grep -rlF "$build" "$work/prefix" "$work/dest"; then
    fail "the installed files above name the build tree $build"
fi

# A working set: nothing points back at the build. Services need root
# (LocalSystem).
if [ "$(id -u)" != 0 ]; then
    echo "check-install: files checked; running a service needs root"
    exit 0
fi
export WIN32POSIX_ROOT="$work/state"
unset WIN32POSIX_SUPERVISOR
export PERL5LIB="$work/prefix/lib/perl5"
svcctl="$work/prefix/bin/svcctl"
perl -MWin32::Servane -e '
    my ($perl, $script, $log) = @ARGV;
    Win32::Servane::CreateService({ name => "InstalledPoll", path => $perl,
        parameters => "-I$ENV{PERL5LIB} $script $log" })
        or die "CreateService: ", Win32::Servane::GetLastError(), "\n";
    print $INC{"Win32/Servane.pm"}, "\n";' "$(command -v perl)" \
    "$source/examples/polling-service.pl" "$work/poll.log" | grep -q "^$work/prefix/" ||
    fail "the installed Win32::Servane was not the one loaded"
"$svcctl" start InstalledPoll >/dev/null || fail "svcctl start failed"
wait_state() {
    for _ in $(seq 300); do
        "$svcctl" query InstalledPoll | grep -q "$1" && return 0
        sleep 0.05
    done
    fail "InstalledPoll never reached $1"
}
wait_state RUNNING
supervisor_pids | grep -q . || fail "the installed supervisor does not run the service"
"$svcctl" pause InstalledPoll >/dev/null
wait_state PAUSED
"$svcctl" stop InstalledPoll >/dev/null
wait_state STOPPED
perl -MWin32::Servane -e 'Win32::Servane::DeleteService("", "InstalledPoll") or exit 1' ||
    fail "DeleteService failed"
grep -q "paused" "$work/poll.log" || fail "the service script did not run"
echo "check-install: installed set in a temporary prefix works"
