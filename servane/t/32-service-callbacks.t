use strict;
use warnings;
use Test::More;
use Time::HiRes qw(sleep time);
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneService qw(new_root have_svcctl svcctl query wait_state watch_states
                      write_service_script start_service remove_services read_log wait_log);

# A callback-mode Perl script run as a service by the Windows layer's
# service control manager: the callbacks answer by returning states.
new_root();
plan skip_all => 'svcctl not built' unless have_svcctl();

my $script = write_service_script('callbacks.pl', <<'PERL');
my %context = (mode => $mode);
Win32::Servane::RegisterCallbacks({
    start => sub { note 'start', $_[0], Win32::Servane::State(); sleep 1.0; SERVICE_RUNNING },
    running => sub { note 'running', $_[0], $_[1]{command}, $_[1]{mode}; return },
    pause => sub {
        note 'pause', Win32::Servane::State();
        sleep($_[1]{mode} eq 'slow' ? 1.5 : 1.0);
        note 'pause done';
        SERVICE_PAUSED;
    },
    continue => sub { note 'continue', Win32::Servane::State(); sleep 1.0; SERVICE_RUNNING },
    interrogate => sub { note 'interrogate', Win32::Servane::State(); return },
    stop => sub {
        note 'stop', Win32::Servane::State();
        sleep 1.0;
        Win32::Servane::State(SERVICE_STOPPED);
        note 'stopservice', Win32::Servane::StopService();
        return;
    },
});
my $thread = Win32::Servane::StartService(\%context, 300);
note 'returned', $thread ? 1 : 0;
PERL

{
    my $log = start_service('Callbacks', $script, 'plain');
    my @seen = watch_states('Callbacks', 15, 4);
    is_deeply(\@seen, [2, 4], 'START_PENDING, then RUNNING from the start callback');
    like(read_log($log), qr/^start 4112 2$/m, '"start" gets SERVICE_CONTROL_START in START_PENDING');
    ok(wait_log($log, qr/^running 4160 4160 plain$/m, 10),
        'timer ticks reach "running" with the context hash');

    svcctl('pause', 'Callbacks');
    @seen = watch_states('Callbacks', 10, 7);
    is_deeply(\@seen, [6, 7], 'pause: PAUSE_PENDING, then PAUSED');
    svcctl('continue', 'Callbacks');
    @seen = watch_states('Callbacks', 10, 4);
    is_deeply(\@seen, [5, 4], 'continue: CONTINUE_PENDING, then RUNNING');
    svcctl('interrogate', 'Callbacks');
    ok(wait_log($log, qr/^interrogate 4$/m, 10), '"interrogate" called, state unchanged');

    svcctl('stop', 'Callbacks');
    @seen = watch_states('Callbacks', 15, 1);
    is_deeply(\@seen, [3, 1], 'stop: STOP_PENDING, then STOPPED');
    ok(wait_log($log, qr/^returned 1$/m, 10), 'StartService returned after the stop callback');
    like(read_log($log), qr/^stopservice 1$/m, 'StopService inside "stop" returned 1');
}

# Controls that arrive while a callback runs are handled after it, in order.
{
    my $log = start_service('CallbacksSlow', $script, 'slow');
    wait_state('CallbacksSlow', 4, 15);
    svcctl('pause', 'CallbacksSlow');
    svcctl('continue', 'CallbacksSlow');
    ok(wait_log($log, qr/^continue/m, 10), 'continue handled');
    like(read_log($log), qr/^pause 6\npause done\n(?:running.*\n)*continue 7$/m,
        'the continue waited for the pause callback to end');
    my ($s) = wait_state('CallbacksSlow', 4, 10);
    is($s->{state}, 4, 'RUNNING in the end');
    svcctl('stop', 'CallbacksSlow');
    ($s) = wait_state('CallbacksSlow', 1, 15);
    is($s->{state}, 1, 'stopped');
    wait_log($log, qr/^returned/m, 10);
}

# Callback scripts that never call StopService: once the service has
# reached SERVICE_STOPPED (a callback's result or the library's own move
# after Timeout) the manager lets go, the loop ends and StartService
# returns, so the script ends. 'lazy' answers neither start nor stop.
my $ending = write_service_script('ending.pl', <<'PERL');
note 'pid', $$;
Win32::Servane::Timeout(1);
Win32::Servane::RegisterCallbacks({
    start   => sub { note 'start'; return if $mode eq 'lazy'; sleep 0.5; SERVICE_RUNNING },
    running => sub { return },
    stop    => sub { note 'stop'; return if $mode eq 'lazy'; sleep 0.5; SERVICE_STOPPED },
});
my $thread = Win32::Servane::StartService({}, 100);
note 'returned', $thread ? 1 : 0, 'state', Win32::Servane::State();
PERL

sub gone {
    my ($pid, $timeout) = @_;
    my $end = time + $timeout;
    while (time < $end) {
        return 1 unless kill 0, $pid;
        sleep 0.05;
    }
    return 0;
}

for my $mode (qw(lazy return)) {
    my $name = "Ending\u$mode";
    my $log = start_service($name, $ending, $mode);
    my $t = time;
    my @seen = watch_states($name, 15, 4);
    is_deeply(\@seen, [2, 4], "$mode: START_PENDING, then RUNNING");
    cmp_ok(time - $t, '>=', 0.8, 'an unanswered "start" becomes RUNNING after Timeout')
        if $mode eq 'lazy';
    svcctl('stop', $name);
    @seen = watch_states($name, 15, 1);
    is_deeply(\@seen, [3, 1], "$mode: STOP_PENDING, then STOPPED");
    ok(wait_log($log, qr/^returned 1 state 1$/m, 10),
        "$mode: StartService returned once the manager let go") or diag(read_log($log));
    my ($pid) = read_log($log) =~ /^pid (\d+)$/m;
    ok($pid && gone($pid, 10), "$mode: the process ended");
}

remove_services(qw(Callbacks CallbacksSlow EndingLazy EndingReturn));
done_testing();
