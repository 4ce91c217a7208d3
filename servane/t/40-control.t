use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(perl_command);
use ServaneService qw(new_root write_service_script read_log wait_log end_services);
use POSIX ();
use Time::HiRes qw(sleep time);
use Win32::Servane qw(:DEFAULT CreateService DeleteService);
use Win32::Servane::Control qw(:all);

# Win32::Servane::Control driving a Perl service script through the Windows
# layer's service control manager, and every way its calls fail.
new_root();

subtest 'usage errors' => sub {
    my %usage = (
        start       => [[], 'service, ...'],
        stop        => [[], 'service'],
        pause       => [[1, 2], 'service'],
        resume      => [[], 'service'],
        interrogate => [[], 'service'],
        control     => [['x'], 'service, code'],
        status      => [[], 'service'],
        wait_for    => [['x'], 'service, state, seconds = 30'],
        list        => [['state'], '%filters'],
        dependents  => [[], 'service'],
        failure_actions     => [[], 'service'],
        set_failure_actions => [['x'], 'service, settings'],
        delayed_start       => [['x', 1], 'service'],
        set_delayed_start   => [['x'], 'service, delayed'],
        is_service  => [[1], ''],
        last_error  => [[1], ''],
    );
    for my $f (sort keys %usage) {
        my ($args, $text) = @{ $usage{$f} };
        no strict 'refs';
        eval { &{"Win32::Servane::Control::$f"}(@$args) };
        like($@, qr/^Usage: Win32::Servane::Control::$f\(\Q$text\E\) at /, $f);
    }
};

subtest 'an unknown service' => sub {
    for my $call ([start => sub { start('NoSuch', 'x') }], [stop => sub { stop('NoSuch') }],
                  [pause => sub { pause('NoSuch') }], [resume => sub { resume('NoSuch') }],
                  [interrogate => sub { interrogate('NoSuch') }],
                  [control => sub { control('NoSuch', 130) }],
                  [wait_for => sub { wait_for('NoSuch', SERVICE_RUNNING, 1) }],
                  [set_failure_actions => sub { set_failure_actions('NoSuch', {}) }],
                  [set_delayed_start => sub { set_delayed_start('NoSuch', 1) }]) {
        $! = 0;
        is($call->[1]->(), 0, "$call->[0] fails");
        is(last_error(), 1060, "$call->[0]: ERROR_SERVICE_DOES_NOT_EXIST");
        is($^E + 0, 1060, "$call->[0]: also in \$^E");
    }
    for my $f (qw(status dependents failure_actions delayed_start)) {
        no strict 'refs';
        is(&{"Win32::Servane::Control::$f"}('NoSuch'), undef, "$f is undef");
        is(last_error(), 1060, "$f: ERROR_SERVICE_DOES_NOT_EXIST");
    }
    is(list(machine => 'elsewhere'), undef, 'list on another machine');
    is(last_error(), 1722, 'RPC_S_SERVER_UNAVAILABLE');
    is(status({ name => 'NoSuch', machine => 'elsewhere' }), undef, 'another machine');
    is(last_error(), 1722, 'RPC_S_SERVER_UNAVAILABLE from the connection');
    is(status("NoSuch\0"), undef, 'a name with a NUL');
    is(last_error(), 123, 'ERROR_INVALID_NAME');
};

ok(!is_service(), 'a test run from a console is not a service');

plan skip_all => 'creating services needs root on the Windows layer' if $> != 0;

my $script = write_service_script('control.pl', <<'PERL');
use Win32::Servane::Control;
note 'is_service', Win32::Servane::Control::is_service();
Win32::Servane::StartService();
my $end = time + 60;
sleep 0.02 while Win32::Servane::State() == 0 && time < $end;
Win32::Servane::State(SERVICE_RUNNING);
while (time < $end) {
    my $m = Win32::Servane::QueryLastMessage();
    if ($m == -1) { sleep 0.02; next }
    Win32::Servane::QueryLastMessage(1);
    note 'control', $m;
    if ($m == SERVICE_CONTROL_STOP) {
        Win32::Servane::State({ state => SERVICE_STOPPED, error => $mode eq 'error' ? 42 : 0 });
        last;
    }
    Win32::Servane::State(SERVICE_PAUSED) if $m == SERVICE_CONTROL_PAUSE;
    Win32::Servane::State(SERVICE_RUNNING) if $m == SERVICE_CONTROL_CONTINUE;
}
Win32::Servane::StopService();
note 'end';
PERL

my $root = $ENV{WIN32POSIX_ROOT};
sub install {
    my ($name, $mode) = @_;
    my $log = "$root/$name.log";
    my @perl = perl_command();
    CreateService({ name => $name, path => shift @perl,
                    parameters => join(' ', @perl, $script, $log, $mode) })
        or BAIL_OUT("CreateService $name: " . Win32::Servane::GetLastError());
    return $log;
}

subtest 'a service run' => sub {
    my $log = install('Driven', 'answer');
    is(start('Driven', 'one', 'two'), 1, 'start with arguments');
    is(wait_for('Driven', SERVICE_RUNNING, 30), 1, 'wait_for RUNNING');
    is(start('Driven'), 0, 'a second start fails');
    is(last_error(), 1056, 'ERROR_SERVICE_ALREADY_RUNNING');

    my ($listed) = grep { $_->{name} eq 'Driven' } @{ list(state => 'active') };
    is($listed && $listed->{state}, SERVICE_RUNNING, 'list: the running service is active');
    ok(!grep({ $_->{name} eq 'Driven' } @{ list(state => 'inactive') }), 'and not inactive');

    my $s = status('Driven');
    is_deeply([sort keys %$s], [sort qw(state controls_accepted win32_exit_code
        service_exit_code check_point wait_hint process_id)], 'status keys');
    is($s->{state}, SERVICE_RUNNING, 'state');
    ok($s->{process_id} > 0 && kill(0, $s->{process_id}), 'process_id is the running script');
    is_deeply(status({ name => 'Driven', machine => '' }), $s, 'a service-information hash names it too');
    is_deeply({ %$listed, %$s }, $listed, 'list gives the keys of status');
    ok(wait_log($log, qr/^is_service 1$/m), 'is_service is true inside the service');

    is(pause('Driven'), 1, 'pause');
    is(wait_for('Driven', SERVICE_PAUSED, 30), 1, 'PAUSED');
    is(resume('Driven'), 1, 'resume');
    is(wait_for('Driven', SERVICE_RUNNING, 30), 1, 'RUNNING again');
    # The script keeps only the last control: one at a time.
    is(interrogate('Driven'), 1, 'interrogate');
    ok(wait_log($log, qr/^control 4$/m), 'the script saw it');
    is(control('Driven', 130), 1, 'a user-defined control');
    ok(wait_log($log, qr/^control 2\ncontrol 3\ncontrol 4\ncontrol 130$/m), 'the script saw each control');
    is(control('Driven', 5), 0, 'shutdown is not the caller\'s to send');
    is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    is(start('Driven', "a\0b"), 0, 'an argument with a NUL');
    is(last_error(), 87, 'refused');

    my $t = time;
    is(wait_for('Driven', SERVICE_PAUSED, 0.3), 0, 'wait_for times out');
    is(last_error(), 1053, 'ERROR_SERVICE_REQUEST_TIMEOUT');
    cmp_ok(time - $t, '>=', 0.29, 'not before the timeout');
    is(wait_for('Driven', SERVICE_PAUSED, -1), 0, 'a negative timeout');
    is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    is(wait_for('Driven', 99, 1), 0, 'a state that does not exist');
    is(last_error(), 87, 'ERROR_INVALID_PARAMETER');

    # A signal's handler runs during a long wait, and may end it.
    $t = time;
    my $ok = eval {
        local $SIG{ALRM} = sub { die "alarm\n" };
        alarm 1;
        wait_for('Driven', SERVICE_PAUSED, 60);
    };
    alarm 0;
    is($@, "alarm\n", 'a die in a signal handler leaves wait_for');
    cmp_ok(time - $t, '<', 30, 'long before the timeout');

    is(stop('Driven'), 1, 'stop');
    is(wait_for('Driven', SERVICE_STOPPED, 30), 1, 'STOPPED');
    is(status('Driven')->{win32_exit_code}, 0, 'without an error');
    is(stop('Driven'), 0, 'a stopped service takes no stop');
    is(last_error(), 1062, 'ERROR_SERVICE_NOT_ACTIVE');
    ok(wait_log($log, qr/^end$/m), 'the script ended');
};

subtest 'exit codes, and a service that dies during a wait' => sub {
    install('Failing', 'error');
    start('Failing');
    wait_for('Failing', SERVICE_RUNNING, 30) or BAIL_OUT('Failing did not run');
    stop('Failing');
    is(wait_for('Failing', SERVICE_STOPPED, 30), 1, 'stopped');
    my $s = status('Failing');
    is($s->{win32_exit_code}, 1066, 'ERROR_SERVICE_SPECIFIC_ERROR');
    is($s->{service_exit_code}, 42, 'the service-specific code');

    start('Failing');
    wait_for('Failing', SERVICE_RUNNING, 30) or BAIL_OUT('Failing did not run again');
    # Killed once the wait has seen it running.
    my $victim = status('Failing')->{process_id};
    my $killer = fork // die "fork: $!";
    if (!$killer) {
        sleep 0.5;
        kill 'KILL', $victim;
        POSIX::_exit(0);
    }
    my $t = time;
    is(wait_for('Failing', SERVICE_PAUSED, 60), 0, 'wait_for gives up when the service dies');
    waitpid $killer, 0;
    is(last_error(), 1067, 'ERROR_PROCESS_ABORTED');
    cmp_ok(time - $t, '<', 30, 'without waiting for the timeout');
};

subtest 'lists and their filters' => sub {
    CreateService({ name => 'Needs', display => 'Needs Driven', path => '/bin/true',
                    dependencies => ['Driven'] }) or BAIL_OUT('CreateService Needs');
    CreateService({ name => 'NeedsNeeds', path => '/bin/true', dependencies => ['Needs'] })
        or BAIL_OUT('CreateService NeedsNeeds');
    my $deps = dependents('Driven');
    is_deeply([map { $_->{name} } @$deps], [qw(NeedsNeeds Needs)], 'dependents in stop order');
    is($deps->[1]{display}, 'Needs Driven', 'with the display name');
    ok(!exists $deps->[0]{process_id}, 'and no process id');
    is_deeply(dependents('NeedsNeeds'), [], 'no dependents: an empty array');

    my @names = map { $_->{name} } @{ list() };
    ok((grep { $_ eq 'Needs' } @names) && (grep { $_ eq 'Driven' } @names), 'list takes every state');
    is_deeply(list(type => SERVICE_KERNEL_DRIVER), [], 'no drivers');
    for my $bad ([state => 'running'], [state => SERVICE_RUNNING], [stat => 'all'], [type => 0]) {
        is(list(@$bad), undef, "list(@$bad) is refused");
        is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    }
    DeleteService($_) for qw(Needs NeedsNeeds);
};

subtest 'recovery settings' => sub {
    my $none = failure_actions('Driven');
    is_deeply($none, { reset_period => 0, actions => [], command => undef,
                       reboot_message => undef, non_crash_failures => 0 }, 'none at first');
    my %set = (reset_period => 3600, command => 'notify Driven', non_crash_failures => 1,
               actions => [{ type => 'restart', delay => 500 }, { type => 'run_command', delay => 0 },
                           { type => 'none' }]);
    is(set_failure_actions('Driven', \%set), 1, 'set_failure_actions');
    my $got = failure_actions('Driven');
    is_deeply($got, { %set, reboot_message => undef,
        actions => [@{ $set{actions} }[0, 1], { type => 'none', delay => 0 }] }, 'read back');
    is(set_failure_actions('Driven', $got), 1, 'the read hash can be given back');
    is_deeply(failure_actions('Driven'), $got, 'and changes nothing');

    is(set_failure_actions('Driven', { reset_period => -1, command => undef }), 1, 'period alone');
    $got = failure_actions('Driven');
    is($got->{reset_period}, -1, 'INFINITE reads as -1');
    is(scalar @{ $got->{actions} }, 3, 'the actions stay');
    is($got->{command}, undef, 'undef removes the command');

    for my $bad ({ action => [] }, { actions => { type => 'restart' } }, { actions => ['restart'] },
                 { actions => [{ type => 'restart', delay => 1, after => 2 }] },
                 { actions => [{ type => 'shutdown' }] }, { actions => [{ delay => 5 }] }) {
        is(set_failure_actions('Driven', $bad), 0, 'refused: ' . explain($bad));
        is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    }
    is(set_failure_actions('Driven', 'restart'), 0, 'settings that are no hash');
    is(last_error(), 87, 'ERROR_INVALID_PARAMETER');
    is(set_failure_actions('Driven', { command => "a\0b" }), 0, 'a command with a NUL');
    is_deeply(failure_actions('Driven'), $got, 'nothing changed');

    is(set_failure_actions('Driven', { actions => [] }), 1, 'an empty list');
    is_deeply(failure_actions('Driven')->{actions}, [], 'removes the actions');

    is(delayed_start('Driven'), 0, 'not delayed at first');
    is(set_delayed_start('Driven', 1), 1, 'set_delayed_start');
    is(delayed_start('Driven'), 1, 'delayed');
    is(set_delayed_start('Driven', 0), 1, 'and back');
    is(delayed_start('Driven'), 0, 'not delayed');
};

DeleteService($_) for qw(Driven Failing);
end_services();
done_testing;
