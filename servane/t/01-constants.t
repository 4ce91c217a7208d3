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
