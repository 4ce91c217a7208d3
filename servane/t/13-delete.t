use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-delete-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

sub last_error { Win32::Servane::GetLastError() }
sub exists_service { my %i = (name => shift); Win32::Servane::QueryServiceConfig(\%i) }

my $usage = "Usage: Win32::Servane::DeleteService( [\$Machine,] \$ServiceName )\n";
eval { Win32::Servane::DeleteService() };
is($@, $usage, 'no argument: the usage text without a location');
eval { Win32::Servane::DeleteService('', 'A', 'B') };
is($@, $usage, 'three arguments');

for my $name (qw(One Two)) {
    is(Win32::Servane::CreateService({ name => $name, path => 'C:\\x.exe' }), 1, "$name created");
}
is(Win32::Servane::DeleteService('One'), 1, 'one argument: the local machine');
ok(!exists_service('One'), 'gone');
is(Win32::Servane::DeleteService('', 'Two'), 1, 'two arguments with an empty machine');
ok(!exists_service('Two'), 'gone');

is(Win32::Servane::DeleteService('Two'), 0, 'deleting it again fails');
is(last_error(), 1060, 'ERROR_SERVICE_DOES_NOT_EXIST');
is(Win32::Servane::DeleteService('x' x 10_000), 0, 'a huge name fails');
ok(last_error() != 0, 'with an error');

is(Win32::Servane::CreateService({ name => 'Two', path => 'C:\\x.exe' }), 1,
    'the name can be used again');
done_testing;
