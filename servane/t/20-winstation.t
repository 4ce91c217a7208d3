use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-winsta-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

subtest 'argument counts' => sub {
    eval { Win32::Servane::ShowService(1, 2, 3, 4) };
    is($@, "Usage: ShowService( \$WindowStationName, [\$DesktopName] )\n", 'four arguments');
    eval { Win32::Servane::HideService(1) };
    like($@, qr/^Usage: Win32::Servane::HideService\(\) at /, 'HideService with an argument');
    eval { Win32::Servane::RestoreService(1) };
    like($@, qr/^Usage: Win32::Servane::RestoreService\(\) at /, 'RestoreService with one');
};

subtest 'moving between window stations' => sub {
    is(Win32::Servane::HideService(), 1, 'to the service window station');
    is(Win32::Servane::RestoreService(), 1, 'back');
    is(Win32::Servane::ShowService(), 1, 'to WinSta0 and Default');
    is(Win32::Servane::ShowService('WinSta0'), 1, 'desktop Default by default');
    is(Win32::Servane::ShowService('WinSta0', 'Winlogon'), 1, 'a named desktop');
    is(Win32::Servane::ShowService('Service-0x0-3e7$', 'Default', 'ignored'), 1,
        'a third argument is ignored');
    is(Win32::Servane::RestoreService(), 1, 'back to the load-time pair');
};

subtest 'names that cannot be opened' => sub {
    is(Win32::Servane::ShowService('NoSuchStation'), 0, 'unknown window station');
    is(Win32::Servane::ShowService('WinSta0', 'NoSuchDesktop'), 0, 'unknown desktop');
    { no warnings 'uninitialized';
      is(Win32::Servane::ShowService(undef), 0, 'undef reads as an empty name'); }
    is(Win32::Servane::RestoreService(), 1, 'restore still works');
};

subtest 'names read through magic' => sub {
    package UpperName {
        sub TIESCALAR { bless [$_[1]], $_[0] }
        sub FETCH { uc $_[0][0] }
    }
    tie my $station, 'UpperName', 'service-0x0-3e7$';
    is(Win32::Servane::ShowService($station), 1, 'a tied name');
    is(Win32::Servane::ShowService($station, $station), 0, 'the same tied scalar twice');
    is(Win32::Servane::RestoreService(), 1, 'back');
};

done_testing;
