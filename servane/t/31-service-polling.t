use strict;
use warnings;
use Test::More;
use Time::HiRes qw(sleep time);
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneService qw(new_root have_svcctl svcctl query wait_state watch_states
                      write_service_script start_service remove_services read_log wait_log);

# A polling Perl script run as a service by the Windows layer's service
# control manager, driven with controls; each step checks what the manager
# reports. The script logs each control it sees and the state at that time.
new_root();
plan skip_all => 'svcctl not built' unless have_svcctl();

my $script = write_service_script('poll.pl', <<'PERL');
Win32::Servane::Timeout($mode eq 'lazy' ? 1 : 3);
Win32::Servane::StartService();
my $end = time + 20;
sleep 0.02 while Win32::Servane::State() == 0 && time < $end;
note 'first', Win32::Servane::State();
Win32::Servane::State({ wait_hint => 3000 }); # same state, with a wait hint
sleep 1.0;                                   # start-up work
Win32::Servane::State(SERVICE_RUNNING);
while (time < $end + 60) {
    my $m = Win32::Servane::QueryLastMessage();
    if ($m == -1) { sleep 0.02; next }
    Win32::Servane::QueryLastMessage(1);
    note 'control', $m, 'state', Win32::Servane::State();
    if ($m == SERVICE_CONTROL_STOP) {
        if ($mode eq 'lazy') {               # let the library finish the stop
            sleep 0.02 while Win32::Servane::State() != SERVICE_STOPPED;
        } elsif ($mode eq 'error') {
            Win32::Servane::State({ state => SERVICE_STOPPED, error => 42 });
        } elsif ($mode ne 'hang') {
            sleep 1.0;
            Win32::Servane::State(SERVICE_STOPPED);
        }
        my $t = time;
        my $r = Win32::Servane::StopService();
        note sprintf 'stopservice %d %.2f', $r, time - $t;
        last;
    }
    next if $mode eq 'lazy';
    sleep 1.0;
    Win32::Servane::State(SERVICE_PAUSED) if $m == SERVICE_CONTROL_PAUSE;
    Win32::Servane::State(SERVICE_RUNNING) if $m == SERVICE_CONTROL_CONTINUE;
}
note 'end';
PERL

# --- A script that answers every control -------------------------------------------
{
    my $log = start_service('PollAnswers', $script, 'answer');
    my $hint;
    my $end = time + 15;
    while (time < $end) {
        my $s = query('PollAnswers');
        # The manager's own START_PENDING (its default hint) may come first.
        if (($s->{state} // 0) == 2 && ($s->{wait_hint} // 0) == 3000) { $hint = 3000; last }
        last if ($s->{state} // 0) == 4;
        sleep 0.03;
    }
    is($hint, 3000, 'a hash with only "wait_hint" re-reports START_PENDING with that hint');
    my @seen = watch_states('PollAnswers', 15, 4);
    is_deeply(\@seen, [2, 4], 'START_PENDING, then RUNNING when the script says so');
    like(read_log($log), qr/^first 2$/m, 'the script saw START_PENDING first');

    svcctl('pause', 'PollAnswers');
    @seen = watch_states('PollAnswers', 10, 7);
    is_deeply(\@seen, [6, 7], 'pause: PAUSE_PENDING, then PAUSED');

    svcctl('continue', 'PollAnswers');
    @seen = watch_states('PollAnswers', 10, 4);
    is_deeply(\@seen, [5, 4], 'continue: CONTINUE_PENDING, then RUNNING');

    my ($rc, $out) = svcctl('interrogate', 'PollAnswers');
    is($rc, 0, 'interrogate answered') or diag $out;
    ok(wait_log($log, qr/^control 4 state 4$/m, 10), 'the script sees INTERROGATE, state unchanged');

    svcctl('stop', 'PollAnswers');
    @seen = watch_states('PollAnswers', 15, 1);
    is_deeply(\@seen, [3, 1], 'stop: STOP_PENDING, then STOPPED');
    my $s = query('PollAnswers');
    is($s->{win32_exit}, 0, 'stopped without an error');
    ok(wait_log($log, qr/^end$/m, 10), 'the script ran to its end');
    like(read_log($log), qr/^stopservice 1 0\.[0-4]\d$/m, 'StopService after STOPPED returns 1 quickly');
    like(read_log($log), qr/^control 2 state 6\ncontrol 3 state 5\ncontrol 4 state 4\ncontrol 1 state 3$/m,
        'controls in order, each with its pending state');
}

# --- A script that answers nothing: the library finishes each pending state --------
{
    my $log = start_service('PollLazy', $script, 'lazy');
    wait_state('PollLazy', 4, 15);
    my $t = time;
    svcctl('pause', 'PollLazy');
    my ($s, $took) = wait_state('PollLazy', 7, 10);
    is($s->{state}, 7, 'pause unanswered: PAUSED after Timeout');
    cmp_ok(time - $t, '>=', 0.8, 'not before the timeout');
    svcctl('continue', 'PollLazy');
    ($s) = wait_state('PollLazy', 4, 10);
    is($s->{state}, 4, 'continue unanswered: RUNNING after Timeout');
    svcctl('stop', 'PollLazy');
    my @seen = watch_states('PollLazy', 15, 1);
    is_deeply(\@seen, [3, 1], 'stop unanswered: STOP_PENDING, then STOPPED after Timeout');
    ok(wait_log($log, qr/^end$/m, 10), 'the script ended');
}

# --- A service-specific exit code -------------------------------------------------------
{
    my $log = start_service('PollError', $script, 'error');
    wait_state('PollError', 4, 15);
    svcctl('stop', 'PollError');
    my ($s) = wait_state('PollError', 1, 15);
    is($s->{state}, 1, 'stopped');
    is($s->{win32_exit}, 1066, 'ERROR_SERVICE_SPECIFIC_ERROR');
    is($s->{service_exit}, 42, 'service-specific code 42');
    wait_log($log, qr/^end$/m, 10);
}

# --- StopService with the dispatcher still waiting ------------------------------------------
{
    my $log = start_service('PollHang', $script, 'hang');
    wait_state('PollHang', 4, 15);
    svcctl('stop', 'PollHang');
    my ($s, $took) = wait_state('PollHang', 1, 15);
    is($s->{state}, 1, 'hung dispatcher: STOPPED in the end');
    ok(wait_log($log, qr/^stopservice/m, 10), 'StopService returned');
    my ($r, $secs) = read_log($log) =~ /^stopservice (\d) ([\d.]+)$/m;
    is($r, 1, 'StopService returns 1');
    cmp_ok($secs, '>=', 1.0, 'it waited for the dispatcher');
    cmp_ok($secs, '<', 3.0, 'and ended it within the bounded time');
}

remove_services(qw(PollAnswers PollLazy PollError PollHang));
done_testing();
