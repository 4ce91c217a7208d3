# Win32::Servane::Control against a Windows service control manager: a Perl
# service script started, driven, listed, configured and stopped through it.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(install install_example log_lines unique_name under_wine temp_file);
use Win32::Servane;
use Win32::Servane::Control qw(:all);

use constant {
    ERROR_INVALID_PARAMETER      => 87,
    ERROR_INVALID_LEVEL          => 124,
    ERROR_SERVICE_DOES_NOT_EXIST => 1060,
    ERROR_SERVICE_NOT_ACTIVE     => 1062,
};

my ($name, $log) = install_example('PerlControl', 'callback-service.pl');

subtest 'start and wait_for' => sub {
    is(start($name), 1, 'start') or diag('last_error ' . last_error());
    is(wait_for($name, SERVICE_RUNNING, 60), 1, 'RUNNING') or diag('last_error ' . last_error());
    my $s = status($name);
    is($s->{state}, SERVICE_RUNNING, 'status: running');
    cmp_ok($s->{process_id}, '>', 0, 'in a process of its own');
    is($s->{controls_accepted},
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN,
        'the controls the script accepts');
};

subtest 'pause, resume, interrogate and a user-defined control' => sub {
    is(pause($name), 1, 'pause');
    is(wait_for($name, SERVICE_PAUSED, 30), 1, 'PAUSED');
    is(resume($name), 1, 'resume');
    is(wait_for($name, SERVICE_RUNNING, 30), 1, 'RUNNING again');
    is(interrogate($name), 1, 'interrogate');
    ok(grep({ $_ eq 'interrogated' } log_lines($log, qr/^interrogated$/)),
        'the script saw the interrogation');
    is(control($name, 128), 1, 'control 128');
};

subtest 'list and dependents' => sub {
    my ($active) = grep { $_->{name} eq $name } @{ list(state => 'active') // [] };
    is($active && $active->{display}, "Win32::Servane test $name", 'listed as active, display name');
    is($active && $active->{state}, SERVICE_RUNNING, 'with its state');
    ok(!grep({ $_->{name} eq $name } @{ list(state => 'inactive') // [] }), 'not as inactive');
    is_deeply(dependents($name), [], 'nothing depends on it');
};

subtest 'recovery and delayed start settings' => sub {
    my %settings = (reset_period => 3600, command => 'cmd /c exit',
        actions => [ { type => 'restart', delay => 1000 }, { type => 'none', delay => 0 } ]);
    is(set_failure_actions($name, { %settings }), 1, 'set_failure_actions');
    my $got = failure_actions($name);
    if (under_wine()) {
        is_deeply([ $got, last_error() ], [ undef, ERROR_INVALID_LEVEL ],
            'Wine defect: QueryServiceConfig2A knows no SERVICE_CONFIG_FAILURE_ACTIONS level');
    } else {
        is_deeply({ map { $_ => $got->{$_} } keys %settings }, \%settings, 'read back');
    }

    is(Win32::Servane::ConfigureService({ name => $name, start_type => SERVICE_AUTO_START }), 1,
        'made an automatic service');
    if (under_wine()) {
        is_deeply([ set_delayed_start($name, 1), last_error() ], [ 0, ERROR_INVALID_PARAMETER ],
            'Wine defect: ChangeServiceConfig2A refuses SERVICE_CONFIG_DELAYED_AUTO_START_INFO');
    } else {
        is(set_delayed_start($name, 1), 1, 'set_delayed_start');
        is(delayed_start($name), 1, 'delayed');
        is(set_delayed_start($name, 0), 1, 'and back');
        is(delayed_start($name), 0, 'not delayed');
    }
    is(Win32::Servane::ConfigureService({ name => $name, start_type => SERVICE_DEMAND_START }), 1,
        'demand start again');
};

subtest 'stop' => sub {
    is(stop($name), 1, 'stop');
    is(wait_for($name, SERVICE_STOPPED, 30), 1, 'STOPPED');
    is(status($name)->{process_id}, 0, 'no process');
    is(stop($name), 0, 'a stopped service takes no stop');
    is(last_error(), ERROR_SERVICE_NOT_ACTIVE, 'not active');
};

subtest 'errors' => sub {
    is(status("NoSuch$name"), undef, 'status of a service that does not exist');
    is(last_error(), ERROR_SERVICE_DOES_NOT_EXIST, 'does not exist');
    is(wait_for($name, 99, 1), 0, 'wait_for a state that does not exist');
    is(last_error(), ERROR_INVALID_PARAMETER, 'invalid parameter');
};
is(Win32::Servane::DeleteService($name), 1, 'DeleteService');
unlink $log;

subtest 'is_service' => sub {
    is(is_service(), 0, 'not in a script run from a console');
    my $service = unique_name('PerlIsService');
    my $out     = temp_file("$service.log");
    unlink $out;
    my $script = File::Spec->rel2abs(File::Spec->catfile(dirname(__FILE__), 'is-service.pl'));
    is(install(name => $service, script => $script, log => $out), 1, 'CreateService');
    is(start($service) && wait_for($service, SERVICE_RUNNING, 60), 1, 'running');
    my ($line) = log_lines($out, qr/^is_service/);
    if (under_wine()) {
        is($line, 'is_service 0', 'Wine defect: services run on the window station '
            . '"__wineservice_winstation", not on a "Service-0x..." one');
    } else {
        is($line, 'is_service 1', 'in a script the manager started');
    }
    is(stop($service) && wait_for($service, SERVICE_STOPPED, 30), 1, 'stopped');
    is(Win32::Servane::DeleteService($service), 1, 'DeleteService');
    unlink $out;
};

done_testing;
