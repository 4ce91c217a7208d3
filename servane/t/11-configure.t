use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-configure-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;

sub query {
    my %info = (name => shift);
    return Win32::Servane::QueryServiceConfig(\%info) ? \%info : undef;
}
sub last_error { Win32::Servane::GetLastError() }
sub configure { Win32::Servane::ConfigureService(@_) }

my %base = (
    name => 'Conf', display => 'Configured', path => 'C:\\base.exe', parameters => '-x',
    description => 'base', dependencies => [qw(Tcpip Afd)], start_type => SERVICE_DEMAND_START,
    error_control => SERVICE_ERROR_NORMAL,
);
is(Win32::Servane::CreateService(\%base), 1, 'service created') or BAIL_OUT('no service');
my $original = query('Conf');

subtest 'argument count and kind' => sub {
    eval { configure() };
    like($@, qr/^Usage: Win32::Servane::ConfigureService\(pSvServiceInfo\) at /, 'no argument');
    Win32::Servane::DeleteService('NoSuchService');
    is(last_error(), 1060, 'error set');
    is(configure('Conf'), 0, 'a plain scalar gives 0');
    is(configure([name => 'Conf']), 0, 'an array reference gives 0');
    is(last_error(), 1060, 'GetLastError unchanged');
};

subtest 'keys are read in order, each once' => sub {
    package RecordingHash {
        require Tie::Hash;
        our @ISA = ('Tie::StdHash');
        our @reads;
        sub FETCH { push @reads, $_[1]; $_[0]->SUPER::FETCH($_[1]) }
    }
    tie my %h, 'RecordingHash';
    %h = (name => 'Conf', parameters => '-z', machine => '', service_type => -1,
          load_order => 'G');
    @RecordingHash::reads = ();
    is(configure(\%h), 1, 'a recording hash');
    is_deeply(\@RecordingHash::reads, [qw(machine name service_type)],
              'parameters without a path are not read');
    %h = (machine => '', name => 'Conf', display => 'Configured', user => 'LocalSystem',
          dependencies => [qw(Tcpip Afd)], description => 'base', path => 'C:\\base.exe',
          parameters => '-x', tag_id => 0, start_type => SERVICE_DEMAND_START,
          error_control => SERVICE_ERROR_NORMAL);
    @RecordingHash::reads = ();
    is(configure(\%h), 1, 'every key');
    is_deeply(\@RecordingHash::reads,
              [qw(machine name display user dependencies description path parameters tag_id
                  start_type error_control)],
              'in the order of the call');
    is_deeply(query('Conf'), $original, 'and the same settings again');
};

subtest 'only what is present changes' => sub {
    is(configure({ name => 'Conf' }), 1, 'a hash with only the name');
    is_deeply(query('Conf'), $original, 'changes nothing');
    is(configure({ name => 'Conf', machine => '' }), 1, 'with an empty machine');
    is(configure({ name => 'Conf', start_type => SERVICE_DISABLED }), 1, 'start type alone');
    is_deeply(query('Conf'), { %$original, start_type => 4 }, 'only the start type changed');
    is(configure({ name => 'Conf', parameters => '-y' }), 1, 'parameters without a path');
    is(query('Conf')->{path}, 'C:\\base.exe -x', 'leave the command line');
};

subtest 'no name, missing service' => sub {
    is(configure({ start_type => 3 }), 0, 'without a name');
    ok(last_error() != 0, 'OpenServiceA\'s error is recorded (' . last_error() . ')');
    is(configure({ name => 'Missing', start_type => 3 }), 0, 'a missing service');
    is(last_error(), 1060, 'ERROR_SERVICE_DOES_NOT_EXIST');
};

subtest 'path quoting' => sub {
    my %cases = (
        'C:\\Program Files\\y.exe'        => '"C:\\Program Files\\y.exe" -p',
        '\\\\host\\share dir\\y.exe'       => '\\\\host\\share dir\\y.exe -p',
        '"C:\\Program Files\\y.exe"'      => '"C:\\Program Files\\y.exe" -p',
        'C:\\y.exe'                       => 'C:\\y.exe -p',
    );
    for my $path (sort keys %cases) {
        is(configure({ name => 'Conf', path => $path, parameters => '-p' }), 1, "path $path");
        is(query('Conf')->{path}, $cases{$path}, 'stored command line');
    }
    is(configure({ name => 'Conf', path => 'C:\\Program Files\\z.exe', parameters => '' }), 1,
        'empty parameters');
    is(query('Conf')->{path}, '"C:\\Program Files\\z.exe"', 'nothing appended');
};

# "path" comes back from a query as the whole command line, and a path with
# a blank is quoted on the way in: a queried hash written back unchanged
# quotes the whole line. Without "path" (or with path and parameters given
# apart) the command line stays.
subtest 'writing a queried hash back' => sub {
    is(configure({ name => 'Conf', path => 'C:\\base.exe', parameters => '-x -y' }), 1, 'set up');
    my $info = query('Conf');
    is($info->{path}, 'C:\\base.exe -x -y', 'the query gives the whole command line');
    my %unchanged = %$info;
    is(configure(\%unchanged), 1, 'written back unchanged');
    is(query('Conf')->{path}, '"C:\\base.exe -x -y"', 'the whole line is quoted (the hazard)');

    configure({ name => 'Conf', path => 'C:\\base.exe', parameters => '-x -y' });
    my %edited = %{ query('Conf') };
    delete $edited{path};
    $edited{display} = 'Edited';
    is(configure(\%edited), 1, 'written back without "path"');
    my $after = query('Conf');
    is($after->{path}, 'C:\\base.exe -x -y', 'the command line stays');
    is($after->{display}, 'Edited', 'the edit is made');
    is(configure({ %edited, path => 'C:\\Program Files\\base.exe', parameters => '-x -y' }), 1,
        'path and parameters given apart');
    is(query('Conf')->{path}, '"C:\\Program Files\\base.exe" -x -y', 'only the path is quoted');
    configure({ name => 'Conf', display => 'Configured' });
};

subtest 'dependencies' => sub {
    is(configure({ name => 'Conf', dependencies => [qw(A B)] }), 1, 'array');
    is_deeply(query('Conf')->{dependencies}, [qw(A B)], 'set');
    is(configure({ name => 'Conf' }), 1, 'absent');
    is_deeply(query('Conf')->{dependencies}, [qw(A B)], 'stay');
    is(configure({ name => 'Conf', dependencies => 'Tcpip' }), 1, 'a string');
    is_deeply(query('Conf')->{dependencies}, ['Tcpip'], 'one dependency');
    is(configure({ name => 'Conf', dependencies => "A\0B" }), 1, 'a string in list form');
    is_deeply(query('Conf')->{dependencies}, [qw(A B)], 'two dependencies');
    is(configure({ name => 'Conf', dependencies => ["A\0B", 'C'] }), 1, 'an element with a NUL');
    is_deeply(query('Conf')->{dependencies}, [qw(A C)], 'ends at its NUL');
    is(configure({ name => 'Conf', dependencies => [] }), 1, 'an empty array');
    is_deeply(query('Conf')->{dependencies}, [], 'removes all');
    configure({ name => 'Conf', dependencies => ['A'] });
    is(configure({ name => 'Conf', dependencies => '' }), 1, 'an empty string');
    is_deeply(query('Conf')->{dependencies}, [], 'removes all');
};

subtest 'account passed unchanged' => sub {
    is(configure({ name => 'Conf', user => 'localsystem', password => '' }), 1, 'localsystem');
    is(query('Conf')->{user}, 'localsystem', 'not translated');
};

subtest 'description' => sub {
    is(configure({ name => 'Conf', description => 'new text' }), 1, 'present');
    is(query('Conf')->{description}, 'new text', 'written');
    is(configure({ name => 'Conf', display => 'Other' }), 1, 'absent');
    is(query('Conf')->{description}, 'new text', 'unchanged');
    is(configure({ name => 'Conf', start_type => 99, description => 'after failure' }), 0,
        'a failing change');
    is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    is(query('Conf')->{description}, 'new text', 'writes no description');
    is(configure({ name => 'Conf', description => '' }), 1, 'empty');
    is(query('Conf')->{description}, '', 'empties the value');
};

subtest 'tag_id' => sub {
    my %info = (name => 'Conf', tag_id => 7);
    is(configure(\%info), 1, 'a tag is asked for');
    is($info{tag_id}, 7, 'the hash keeps its own value');
};

done_testing;
