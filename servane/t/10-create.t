use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
# A state root of our own for the Windows layer, before the library loads.
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-create-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

sub query {
    my %info = (name => shift);
    return Win32::Servane::QueryServiceConfig(\%info) ? \%info : undef;
}
sub last_error { Win32::Servane::GetLastError() }
# A known error in GetLastError, to see that a call leaves it alone.
sub set_error_1060 { Win32::Servane::DeleteService('NoSuchService'); is(last_error(), 1060, 'error set') }

subtest 'argument count and kind' => sub {
    eval { Win32::Servane::CreateService() };
    like($@, qr/^Usage: Win32::Servane::CreateService\(pSvServiceInfo\) at /, 'no argument');
    eval { Win32::Servane::CreateService({}, {}) };
    like($@, qr/^Usage: Win32::Servane::CreateService\(pSvServiceInfo\) at /, 'two arguments');
    set_error_1060();
    is(Win32::Servane::CreateService('name'), 0, 'a plain scalar gives 0');
    is(Win32::Servane::CreateService([name => 'A', path => 'C:\\a.exe']), 0, 'an array reference gives 0');
    is(Win32::Servane::CreateService(undef), 0, 'undef gives 0');
    is(last_error(), 1060, 'GetLastError unchanged');
    ok(!query('A'), 'nothing was created');
};

subtest 'every key reads back' => sub {
    my %info = (
        name         => 'Full',
        display      => 'A full service',
        path         => 'C:\\Program Files\\full.exe',
        parameters   => '-a "b c"',
        description  => 'Does everything',
        dependencies => [qw(Tcpip Afd Dhcp)],
        service_type => SERVICE_WIN32_OWN_PROCESS,
        start_type   => SERVICE_DEMAND_START,
        error_control => SERVICE_ERROR_SEVERE,
        password     => 'ignored for LocalSystem',
        unknown_key  => 'ignored',
    );
    is(Win32::Servane::CreateService(\%info), 1, 'created');
    is_deeply(query('Full'), {
        name => 'Full', machine => '', display => 'A full service',
        path => '"C:\\Program Files\\full.exe" -a "b c"', description => 'Does everything',
        dependencies => [qw(Tcpip Afd Dhcp)], service_type => 0x10, start_type => 3,
        error_control => 2, user => 'LocalSystem', load_order => '',
    }, 'queried configuration');
    is($info{unknown_key}, 'ignored', 'the caller\'s hash is not changed');
};

subtest 'defaults of absent keys, and undef is not absent' => sub {
    is(Win32::Servane::CreateService({ name => 'Minimal', path => 'C:\\m.exe' }), 1, 'created');
    my $q = query('Minimal');
    is($q->{service_type}, 0x10, 'own process');
    is($q->{start_type}, 2, 'automatic start');
    is($q->{error_control}, 0, 'errors ignored');
    is($q->{description}, '', 'an empty description is written');
    is_deeply($q->{dependencies}, [], 'no dependencies');
    is($q->{user}, 'LocalSystem', 'LocalSystem');
    # start_type undef reads as 0, SERVICE_BOOT_START, which an own-process
    # service cannot have.
    no warnings 'uninitialized';
    is(Win32::Servane::CreateService({ name => 'Boot', path => 'C:\\b.exe', start_type => undef }),
        0, 'start_type undef is 0, not the default');
    is(last_error(), 87, 'the manager refused boot start');
    is(Win32::Servane::CreateService({ name => 'Err', path => 'C:\\e.exe', error_control => undef,
        description => undef }), 1, 'error_control undef');
    is(query('Err')->{error_control}, 0, 'reads as 0');
};

subtest 'LocalSystem account' => sub {
    my $n = 0;
    for my $user ('localsystem', 'LocalSystem', 'LOCALSYSTEM', 'lOcAlSyStEm', '') {
        my $name = 'Ls' . $n++;
        is(Win32::Servane::CreateService({ name => $name, path => 'C:\\x.exe', user => $user,
            password => 'secret' }), 1, "user '$user' created");
        is(query($name)->{user}, 'LocalSystem', "user '$user' runs as LocalSystem");
    }
    is(Win32::Servane::CreateService({ name => 'DotLs', path => 'C:\\x.exe',
        user => '.\\LocalSystem', password => 'pw' }), 1, '.\\LocalSystem created');
    is(query('DotLs')->{user}, '.\\LocalSystem', 'passed through as an account name');
};

subtest 'command line' => sub {
    my %cases = (
        Q1 => ['C:\\Program Files\\x.exe', '-a', '"C:\\Program Files\\x.exe" -a'],
        Q2 => ['"C:\\Program Files\\x.exe"', '', '"C:\\Program Files\\x.exe"'],
        Q3 => ['C:\\x.exe', '', 'C:\\x.exe'],
        Q4 => ['C:\\x.exe', 'one "two three"  four', 'C:\\x.exe one "two three"  four'],
        Q5 => ["C:\\tab\tname.exe", '', "C:\\tab\tname.exe"],
    );
    for my $name (sort keys %cases) {
        my ($path, $params, $expected) = @{ $cases{$name} };
        is(Win32::Servane::CreateService({ name => $name, path => $path, parameters => $params }),
            1, "$name created");
        is(query($name)->{path}, $expected, "$name command line");
    }
    my $path = 'C:\\' . ('p' x 600) . ' dir\\x.exe';
    my $params = 'q' x 900;
    is(Win32::Servane::CreateService({ name => 'LongLine', path => $path, parameters => $params,
        description => 'd' x 5000 }), 1, 'long path and parameters');
    my $q = query('LongLine');
    is($q->{path}, qq{"$path" $params}, 'kept whole');
    is($q->{description}, 'd' x 5000, 'a long description reads back whole');
};

subtest 'dependencies' => sub {
    my @sparse = ('A');
    $sparse[2] = 'C';
    my %cases = (
        D1 => [[qw(Tcpip Afd Dhcp)], [qw(Tcpip Afd Dhcp)]],
        D2 => [[], []],
        D3 => ['Tcpip', []],
        D4 => [{ Tcpip => 1 }, []],
        D5 => [[qw(A), '', qw(B)], ['A']],
        D6 => [\@sparse, [qw(A C)]],
        D7 => [['A', undef, 'B'], ['A']],
        D8 => [[qw(A +Group)], [qw(A +Group)]],
        # An element is copied as a C string: up to its first NUL.
        D9 => [["A\0B", 'C'], [qw(A C)]],
        DA => [["\0B", 'C'], []],
    );
    no warnings 'uninitialized';
    for my $name (sort keys %cases) {
        my ($given, $expected) = @{ $cases{$name} };
        is(Win32::Servane::CreateService({ name => $name, path => 'C:\\x.exe',
            dependencies => $given }), 1, "$name created");
        is_deeply(query($name)->{dependencies}, $expected, "$name dependencies");
    }
};

subtest 'failures record the manager\'s error' => sub {
    is(Win32::Servane::CreateService({ name => 'Full', path => 'C:\\other.exe',
        description => 'changed?' }), 0, 'a duplicate fails');
    is(last_error(), 1073, 'ERROR_SERVICE_EXISTS');
    is(query('Full')->{description}, 'Does everything', 'no description written on failure');
    is(Win32::Servane::CreateService({ name => 'n' x 100_000, path => 'C:\\x.exe' }), 0,
        'a huge name fails');
    is(last_error(), 123, 'ERROR_INVALID_NAME');
    is(Win32::Servane::CreateService({ path => 'C:\\x.exe' }), 0, 'no name fails');
};

subtest 'values read through magic' => sub {
    package CountingHash {
        require Tie::Hash;
        our @ISA = ('Tie::StdHash');
        our $fetches = 0;
        sub FETCH { $fetches++; $_[0]->SUPER::FETCH($_[1]) }
    }
    tie my %tied, 'CountingHash';
    %tied = (name => 'Tied', path => 'C:\\Program Files\\t.exe', display => 'Tied one',
             dependencies => ['X'], start_type => 3);
    is(Win32::Servane::CreateService(\%tied), 1, 'a tied hash is read');
    ok($CountingHash::fetches > 0, 'through FETCH');
    my $q = query('Tied');
    is($q->{display}, 'Tied one', 'display');
    is($q->{start_type}, 3, 'start type');
    is_deeply($q->{dependencies}, ['X'], 'dependencies');

    package RecordingHash {
        require Tie::Hash;
        our @ISA = ('Tie::StdHash');
        our @reads;
        sub FETCH { push @reads, $_[1]; $_[0]->SUPER::FETCH($_[1]) }
    }
    tie my %recorded, 'RecordingHash';
    %recorded = (name => 'Recorded', path => 'C:\\r.exe', tag_id => 5, load_order => 'G',
                 dependencies => 'Tcpip', zzz => 1);
    @RecordingHash::reads = ();
    is(Win32::Servane::CreateService(\%recorded), 1, 'created from a recording hash');
    is_deeply(\@RecordingHash::reads,
              [qw(name path dependencies)],
              'reads its keys in order, and never tag_id or load_order');
    is_deeply(query('Recorded')->{dependencies}, [], 'a string of dependencies is ignored');

    package DyingHash {
        require Tie::Hash;
        our @ISA = ('Tie::StdHash');
        sub FETCH { die "no fetch\n" if $_[1] eq 'display'; $_[0]->SUPER::FETCH($_[1]) }
    }
    tie my %dying, 'DyingHash';
    %dying = (name => 'Dying', path => 'C:\\d.exe', display => 'x');
    ok(!eval { Win32::Servane::CreateService(\%dying); 1 }, 'a dying FETCH');
    is($@, "no fetch\n", 'passes its exception through');
    ok(!query('Dying'), 'and nothing was created');
};

done_testing;
