use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(svcctl_path);
use File::Temp qw(tempdir);
use IPC::Open2;
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-locked-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

# Every administration call locks the service database after connecting;
# while another process holds the lock, each fails at that step with
# ERROR_SERVICE_DATABASE_LOCKED and releases what it opened.
my $svcctl = svcctl_path();
plan skip_all => 'administration needs root on the Windows layer' if $> != 0;
plan skip_all => 'svcctl not found' unless -x $svcctl;

ok(Win32::Servane::CreateService({name => 'Held', path => '/bin/true', description => 'd'}),
    'a service to work on');
my %before = (name => 'Held');
Win32::Servane::QueryServiceConfig(\%before);
my $sd = Win32::Servane::GetSecurity('', 'Held');
ok(defined $sd, 'its descriptor');

my $pid = open2(my $out, my $in, $svcctl, 'lock');
my $line = <$out>;
like($line, qr/LockServiceDatabase SUCCESS/, 'another process holds the lock');

my %calls = (
    CreateService      => sub { Win32::Servane::CreateService({name => 'New', path => '/bin/true'}) },
    ConfigureService   => sub { Win32::Servane::ConfigureService({name => 'Held', display => 'x'}) },
    QueryServiceConfig => sub { Win32::Servane::QueryServiceConfig({name => 'Held'}) },
    DeleteService      => sub { Win32::Servane::DeleteService('Held') },
    GetSecurity        => sub { Win32::Servane::GetSecurity('', 'Held') // 0 },
    SetSecurity        => sub { Win32::Servane::SetSecurity('', 'Held', $sd) },
);
for my $name (sort keys %calls) {
    Win32::Servane::DeleteService('NoSuchService');    # GetLastError now 1060
    is($calls{$name}->(), 0, "$name fails");
    is(Win32::Servane::GetLastError(), 1055, "$name records ERROR_SERVICE_DATABASE_LOCKED");
}

close $in;
waitpid $pid, 0;
is($? >> 8, 0, 'the holder released the lock');

my %info = (name => 'Held');
ok(Win32::Servane::QueryServiceConfig(\%info), 'the service is untouched and readable again');
is($info{display}, $before{display}, 'nothing was changed while locked');
ok(Win32::Servane::DeleteService('Held'), 'and can be deleted');
done_testing;
