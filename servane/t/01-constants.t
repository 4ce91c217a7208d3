use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use Win32::Servane;

is(Win32::Servane::GetVersion(), '20080324', 'library version string');
is($Win32::Servane::VERSION, '20101014', 'package version');

subtest 'exported constants are the table values' => sub {
    is(SERVICE_RUNNING, 4, 'SERVICE_RUNNING');
    is(SERVICE_CONTROL_NONE, -1, '0xFFFFFFFF arrives as -1');
    is(SERVICE_CONTROL_RUNNING, 0x1040, 'library event code');
    is(USER_SERVICE_BITS_10, 0x20000000, 'USER_SERVICE_BITS_10');
    is(SC_GROUP_IDENTIFIER, '+', 'text constant');
    is(scalar @Win32::Servane::EXPORT, 60, 'sixty names exported');
    ok(!defined &main::SERVICE_ERROR_IGNORE, 'no SERVICE_ERROR_IGNORE');
};

# The whole table, name by name: [name, kind, value]. Kind 3 values are
# 32-bit, as a script sees them (0xFFFFFFFF is -1); kind 2 is text.
subtest 'every named constant, value and kind' => sub {
    my @table = (
        [SERVICE_NOT_READY => 3, 0], [SERVICE_STOPPED => 3, 1],
        [SERVICE_START_PENDING => 3, 2], [SERVICE_STOP_PENDING => 3, 3],
        [SERVICE_RUNNING => 3, 4], [SERVICE_CONTINUE_PENDING => 3, 5],
        [SERVICE_PAUSE_PENDING => 3, 6], [SERVICE_PAUSED => 3, 7],

        [SERVICE_CONTROL_NONE => 3, -1], [SERVICE_CONTROL_STOP => 3, 1],
        [SERVICE_CONTROL_PAUSE => 3, 2], [SERVICE_CONTROL_CONTINUE => 3, 3],
        [SERVICE_CONTROL_INTERROGATE => 3, 4], [SERVICE_CONTROL_SHUTDOWN => 3, 5],
        [SERVICE_CONTROL_PARAMCHANGE => 3, 6], [SERVICE_CONTROL_NETBINDADD => 3, 7],
        [SERVICE_CONTROL_NETBINDREMOVE => 3, 8], [SERVICE_CONTROL_NETBINDENABLE => 3, 9],
        [SERVICE_CONTROL_NETBINDDISABLE => 3, 0x0A], [SERVICE_CONTROL_DEVICEEVENT => 3, 0x0B],
        [SERVICE_CONTROL_HARDWAREPROFILECHANGE => 3, 0x0C],
        [SERVICE_CONTROL_POWEREVENT => 3, 0x0D], [SERVICE_CONTROL_SESSIONCHANGE => 3, 0x0E],
        [SERVICE_CONTROL_START => 3, 0x1010], [SERVICE_CONTROL_TIMER => 3, 0x1020],
        [SERVICE_CONTROL_USER_DEFINED => 3, 0x1030], [SERVICE_CONTROL_RUNNING => 3, 0x1040],

        [USER_SERVICE_BITS_1 => 3, 0x4000], [USER_SERVICE_BITS_2 => 3, 0x8000],
        [USER_SERVICE_BITS_3 => 3, 0x400000], [USER_SERVICE_BITS_4 => 3, 0x800000],
        [USER_SERVICE_BITS_5 => 3, 0x1000000], [USER_SERVICE_BITS_6 => 3, 0x2000000],
        [USER_SERVICE_BITS_7 => 3, 0x4000000], [USER_SERVICE_BITS_8 => 3, 0x8000000],
        [USER_SERVICE_BITS_9 => 3, 0x10000000], [USER_SERVICE_BITS_10 => 3, 0x20000000],

        [SERVICE_KERNEL_DRIVER => 3, 0x001], [SERVICE_FILE_SYSTEM_DRIVER => 3, 0x002],
        [SERVICE_WIN32_OWN_PROCESS => 3, 0x010], [SERVICE_WIN32_SHARE_PROCESS => 3, 0x020],
        [SERVICE_INTERACTIVE_PROCESS => 3, 0x100],

        [SERVICE_ACCEPT_STOP => 3, 0x01], [SERVICE_ACCEPT_PAUSE_CONTINUE => 3, 0x02],
        [SERVICE_ACCEPT_SHUTDOWN => 3, 0x04], [SERVICE_ACCEPT_PARAMCHANGE => 3, 0x08],
        [SERVICE_ACCEPT_NETBINDCHANGE => 3, 0x10],
        [SERVICE_ACCEPT_HARDWAREPROFILECHANGE => 3, 0x20],
        [SERVICE_ACCEPT_POWEREVENT => 3, 0x40], [SERVICE_ACCEPT_SESSIONCHANGE => 3, 0x80],

        [SERVICE_BOOT_START => 3, 0], [SERVICE_SYSTEM_START => 3, 1],
        [SERVICE_AUTO_START => 3, 2], [SERVICE_DEMAND_START => 3, 3],
        [SERVICE_DISABLED => 3, 4],
        [SERVICE_ERROR_NORMAL => 3, 1], [SERVICE_ERROR_SEVERE => 3, 2],
        [SERVICE_ERROR_CRITICAL => 3, 3],

        [SC_GROUP_IDENTIFIER => 2, '+'], [NO_ERROR => 3, 0],
    );
    is(scalar @table, 60, 'sixty names');
    my %seen;
    for my $row (@table) {
        my ($name, $kind, $value) = @$row;
        $seen{$name}++;
        my $got = 'untouched';
        is(Win32::Servane::Constant($name, $got), $kind, "$name: kind $kind");
        is($got, $value, "$name: value $value");
    }
    is(scalar keys %seen, 60, 'each name once');
};

subtest 'Constant lookup rules' => sub {
    my $v = 'untouched';
    is(Win32::Servane::Constant('SERVICE_RUNNING', $v), 3, 'kind 3');
    is($v, 4, 'value 4');
    $v = 'untouched';
    is(Win32::Servane::Constant('Service_Running', $v), 3, 'only the first character counts case');
    is($v, 4, 'value 4');
    $v = 'untouched';
    is(Win32::Servane::Constant('service_running', $v), 0, 'lower-case first letter not found');
    is($v, 'untouched', 'buffer left as it was');
    is(Win32::Servane::Constant('SC_GROUP_IDENTIFIER', $v), 2, 'text kind');
    is($v, '+', 'text value');
    is(Win32::Servane::Constant('SERVICE_CONTROL_NONE', $v), 3, 'none');
    is($v, -1, 'signed 32-bit');
    is(Win32::Servane::Constant('USER_SERVICE_BITS_1', $v), 3, 'bits 1');
    is($v, 0x4000, 'not shadowed by USER_SERVICE_BITS_10');
    $v = 7;
    is(Win32::Servane::Constant('', $v), 0, 'empty name');
    is(Win32::Servane::Constant('SERVICE_ERROR_IGNORE', $v), 0, 'name the table lacks');
    is($v, 7, 'buffer unchanged');
};

subtest 'Constant runs magic on its arguments' => sub {
    my %h;
    tie my $name, 'OneShot', 'SERVICE_PAUSED';
    my $v;
    is(Win32::Servane::Constant($name, $v), 3, 'name read through get-magic');
    is($v, 7, 'value');
    my $set = 0;
    tie my $out, 'CountStore', \$set;
    Win32::Servane::Constant('NOPE', $out);
    is($set, 1, 'set-magic runs even when the name is unknown');
};

subtest 'diagnostics' => sub {
    is(Win32::Servane::GetLastError(), 0, 'GetLastError is 0 after load');
    is(Win32::Servane::IsDebugBuild(), 0, 'release build');
    is(Win32::Servane::DebugOutputPath(), '', 'no path');
    is(Win32::Servane::DebugOutputPath('C:\\log.txt'), '', 'path ignored');
    is(Win32::Servane::DebugOutputPath(undef), '', 'undef accepted');
    is(Win32::Servane::DebugOutputPath([]), '', 'reference accepted');
};

subtest 'usage errors' => sub {
    my $line;
    eval { Win32::Servane::Constant('SERVICE_RUNNING') }; $line = __LINE__;
    like($@, qr/^Usage: Win32::Servane::Constant\(pszName, pSvBuffer\) at .* line $line\.$/,
        'Constant with one argument');
    my $v;
    eval { Win32::Servane::Constant('A', $v, 3) };
    like($@, qr/^Usage: Win32::Servane::Constant\(pszName, pSvBuffer\)/, 'three arguments');
    for my $f (qw(GetVersion GetLastError IsDebugBuild)) {
        no strict 'refs';
        eval { &{"Win32::Servane::$f"}(1) };
        like($@, qr/^Usage: Win32::Servane::$f\(\) at /, "$f with an argument");
    }
    eval { Win32::Servane::DebugOutputPath(1, 2) };
    is($@, "Usage: Win32::Servane::DebugOutputPath( [\$Path] )\n", 'DebugOutputPath with two');
};

done_testing;

package OneShot;
sub TIESCALAR { my ($c, $v) = @_; bless \$v, $c }
sub FETCH { ${ $_[0] } }
sub STORE { ${ $_[0] } = $_[1] }

package CountStore;
sub TIESCALAR { my ($c, $r) = @_; bless { r => $r, v => undef }, $c }
sub FETCH { $_[0]{v} }
sub STORE { ${ $_[0]{r} }++; $_[0]{v} = $_[1] }
