use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-query-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

sub last_error { Win32::Servane::GetLastError() }

is(Win32::Servane::CreateService({ name => 'Q', display => 'Queried', path => 'C:\\q.exe',
    description => 'text' }), 1, 'service created') or BAIL_OUT('no service');

subtest 'argument count and kind' => sub {
    eval { Win32::Servane::QueryServiceConfig() };
    like($@, qr/^Usage: Win32::Servane::QueryServiceConfig\(pSvServiceInfo\) at /, 'no argument');
    eval { Win32::Servane::QueryServiceConfig({}, 1) };
    like($@, qr/^Usage: Win32::Servane::QueryServiceConfig\(pSvServiceInfo\) at /, 'two');
    Win32::Servane::DeleteService('NoSuchService');
    my @array = (name => 'Q');
    is(Win32::Servane::QueryServiceConfig(\@array), 0, 'an array reference gives 0');
    is_deeply(\@array, [name => 'Q'], 'and is not touched');
    is(Win32::Servane::QueryServiceConfig('Q'), 0, 'a plain scalar gives 0');
    is(last_error(), 1060, 'GetLastError unchanged');
};

subtest 'the hash is emptied and refilled' => sub {
    my %info = (name => 'Q', machine => '', extra => 'gone', password => 'gone too',
                parameters => 'gone as well');
    is(Win32::Servane::QueryServiceConfig(\%info), 1, 'queried');
    is_deeply([sort keys %info], [sort qw(name machine display path user load_order
        dependencies description service_type start_type error_control)], 'exactly the keys');
    is($info{display}, 'Queried', 'display');
    is($info{description}, 'text', 'description');
    is(ref $info{dependencies}, 'ARRAY', 'dependencies is an array reference');
    my %again = %info;
    is(Win32::Servane::QueryServiceConfig(\%again), 1, 'the filled hash queries again');
    is_deeply(\%again, \%info, 'to the same result');
};

subtest 'a reference held in a tied element' => sub {
    require Tie::Hash;
    tie my %holder, 'Tie::StdHash';
    $holder{info} = { name => 'Q' };
    is(Win32::Servane::QueryServiceConfig($holder{info}), 1, 'is followed');
    is($holder{info}{display}, 'Queried', 'and its hash filled');
};

subtest 'a tied hash gets every key through its STORE' => sub {
    package LoggingHash {
        require Tie::Hash;
        our @ISA = ('Tie::StdHash');
        our @stored;
        sub STORE { push @stored, $_[1]; $_[0]->SUPER::STORE(@_[1, 2]) }
    }
    my %plain = (name => 'Q');
    Win32::Servane::QueryServiceConfig(\%plain);
    require Tie::Hash;
    tie my %std, 'Tie::StdHash';
    %std = (name => 'Q', extra => 1);
    is(Win32::Servane::QueryServiceConfig(\%std), 1, 'Tie::StdHash: queried');
    is_deeply({%std}, \%plain, 'Tie::StdHash: the same keys and values as a plain hash');
    tie my %logged, 'LoggingHash';
    %logged = (name => 'Q');
    @LoggingHash::stored = ();
    is(Win32::Servane::QueryServiceConfig(\%logged), 1, 'logging tie: queried');
    is_deeply([sort @LoggingHash::stored], [sort keys %plain], 'each key stored once');
    is_deeply($logged{dependencies}, [], 'the dependency array arrives');
};

subtest 'a missing service' => sub {
    my %info = (name => 'Missing', extra => 1);
    is(Win32::Servane::QueryServiceConfig(\%info), 0, 'fails');
    is(last_error(), 1060, 'OpenServiceA\'s error');
    is_deeply(\%info, {}, 'the hash is left empty');
    my %none = (extra => 1);
    is(Win32::Servane::QueryServiceConfig(\%none), 0, 'no name fails');
    is_deeply(\%none, {}, 'the hash is left empty');
    my %long = (name => 'n' x 5000, machine => '');
    is(Win32::Servane::QueryServiceConfig(\%long), 0, 'a name of 5000 characters fails');
    ok(last_error() != 0, 'with the manager\'s error (' . last_error() . ')');
};

done_testing;
