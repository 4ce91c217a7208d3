use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(run_perl);
use File::Find;
use File::Temp qw(tempdir);

# Loading the library, and every call that needs no registry, leave the
# state root untouched; the first administration call creates the store and
# loads the process user's hive.
my $dir  = tempdir(CLEANUP => 1);
my $root = "$dir/root";
local $ENV{WIN32POSIX_ROOT} = $root;

sub files_under {
    my @files;
    find(sub { push @files, $File::Find::name =~ s{^\Q$root\E/}{}r if -f }, $root) if -d $root;
    return sort @files;
}

my ($status, $out, $err) = run_perl(<<'PERL');
use Win32::Servane;
Win32::Servane::State();
Win32::Servane::AcceptedControls(7);
Win32::Servane::QueryLastMessage(1);
Win32::Servane::HideService();
Win32::Servane::RestoreService();
my $v;
Win32::Servane::Constant('SERVICE_RUNNING', $v);
print "loaded $v\n";
PERL
is($status, 0, 'the library loads and answers') or diag $err;
is($out, "loaded 4\n", 'calls without the registry work');
ok(!-e $root, 'the state root is not created at load') or diag join "\n", files_under();

($status, $out, $err) = run_perl(<<'PERL');
use Win32::Servane;
my %info = (name => 'Nothing');
print Win32::Servane::QueryServiceConfig(\%info), ' ', Win32::Servane::GetLastError(), "\n";
PERL
is($out, "0 1060\n", 'an administration call reaches the service database') or diag $err;
my @files = files_under();
ok((grep { $_ eq 'registry.db' } @files), 'it created the registry store');
SKIP: {
    skip 'loading a hive needs SeRestorePrivilege (root on the layer)', 1 if $> != 0;
    ok((grep { m{/NTUser\.dat$} } @files), "and loaded the user's hive") or diag "@files";
}

done_testing;
