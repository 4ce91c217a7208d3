# QueryServiceConfig, ConfigureService and DeleteService on a Perl service
# script installed with CreateService, through the service control manager.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(example install drive wait_for unique_name under_wine temp_file);
use Win32::Servane;

use constant {
    ERROR_SERVICE_DISABLED          => 1058,
    ERROR_SERVICE_DOES_NOT_EXIST    => 1060,
    ERROR_SERVICE_MARKED_FOR_DELETE => 1072,
};

my $name   = unique_name('PerlAdmin');
my $script = example('polling-service.pl');
my ($log1, $log2) = map { temp_file("$name-$_.log") } 1, 2;

sub query {
    my %info = (name => $name);
    my $ok = Win32::Servane::QueryServiceConfig(\%info);
    return $ok ? \%info : { failed => Win32::Servane::GetLastError() };
}

is(install(name => $name, script => $script, log => $log1, description => 'first'), 1,
    'CreateService');

subtest 'QueryServiceConfig reads the installed configuration back' => sub {
    my $q = query();
    is($q->{path}, qq{$^X "$script" "$log1"}, 'the command line: perl, then the script and its log');
    is($q->{display}, "Win32::Servane test $name", 'display name');
    is($q->{description}, 'first', 'description');
    is($q->{service_type}, SERVICE_WIN32_OWN_PROCESS, 'own process');
    is($q->{start_type}, SERVICE_DEMAND_START, 'demand start');
    is($q->{error_control}, 0, 'error control ignore');
    is($q->{user}, 'LocalSystem', 'runs as LocalSystem');
    is_deeply($q->{dependencies}, [], 'no dependencies');
};

subtest 'ConfigureService changes what it is given and keeps the rest' => sub {
    is(Win32::Servane::ConfigureService({ name => $name, display => "$name renamed",
        description => 'second', start_type => SERVICE_DISABLED }), 1, 'ConfigureService');
    my $q = query();
    is($q->{display}, "$name renamed", 'new display name');
    is($q->{description}, 'second', 'new description');
    is($q->{start_type}, SERVICE_DISABLED, 'disabled');
    is($q->{path}, qq{$^X "$script" "$log1"}, 'command line kept');
    my ($rc, $s) = drive('start', $name);
    is($s->{error}, ERROR_SERVICE_DISABLED, 'a disabled service does not start');

    is(Win32::Servane::ConfigureService({ name => $name, start_type => SERVICE_DEMAND_START,
        path => $^X, parameters => qq{"$script" "$log2"} }), 1, 'new start type and command line');
    $q = query();
    is($q->{path}, qq{$^X "$script" "$log2"}, 'new command line');
    if (under_wine()) {
        is($q->{description}, undef, 'Wine defect: ChangeServiceConfigA rewrites the service key '
            . 'from the manager\'s memory, dropping a Description written to the registry');
    } else {
        is($q->{description}, 'second', 'description kept');
    }
};

subtest 'DeleteService on the running service' => sub {
    my ($rc) = drive('start', $name);
    is($rc, 0, 'started with the new command line');
    my (undef, $s) = wait_for($name, SERVICE_RUNNING);
    is($s->{state}, SERVICE_RUNNING, 'running');
    ok(-f $log2, 'logging where the new parameters say');

    is(Win32::Servane::DeleteService($name), 1, 'DeleteService');
    is(Win32::Servane::DeleteService($name), 0, 'a second DeleteService fails');
    is(Win32::Servane::GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE, 'marked for delete');
    is(install(name => $name, script => $script, log => $log1), 0,
        'no new service under a name marked for delete');
    is(Win32::Servane::GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE, 'marked for delete');

    (undef, $s) = drive('control', $name, SERVICE_CONTROL_STOP);
    (my $seen, $s) = wait_for($name, SERVICE_STOPPED);
    ok(!defined $s->{state} || $s->{state} == SERVICE_STOPPED, 'stopped')
        or diag("states seen: @$seen");
    my $q;
    for (1 .. 100) {    # the manager removes it once its last handle is closed
        $q = query();
        last if $q->{failed};
        select undef, undef, undef, 0.1;
    }
    is($q->{failed}, ERROR_SERVICE_DOES_NOT_EXIST, 'gone once stopped');
};

is(Win32::Servane::DeleteService($name), 0, 'DeleteService of a service that does not exist');
is(Win32::Servane::GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST, 'does not exist');

unlink $log1, $log2;
done_testing;
