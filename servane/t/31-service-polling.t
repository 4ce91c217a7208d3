use strict;
use warnings;
use Test::More;
use Time::HiRes qw(sleep time);
use POSIX ();
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneService qw(new_root have_svcctl svcctl query wait_state watch_states write_script
                      write_service_script start_service remove_services read_log wait_log
                      service_bits);

# A polling Perl script run as a service by the Windows layer's service
# control manager, driven with controls; each step checks what the manager
# reports. The script logs each control it sees and the state at that time.
my $root = new_root();
plan skip_all => 'svcctl not built' unless have_svcctl();

my $script = write_service_script('poll.pl', <<'PERL');
use Hash::Util qw(lock_keys);
# Waits until the test creates the file: one step of the test at a time.
sub step { my $f = "$log.$_[0]"; sleep 0.02 until -e $f }
note 'pid', $$;
Win32::Servane::Timeout($mode eq 'lazy' ? 1 : 3);
Win32::Servane::SetServiceBits(0xFFFFFFFF) if $mode eq 'answer'; # for ServiceMain
Win32::Servane::StartService();
my $end = time + 20;
sleep 0.02 while Win32::Servane::State() == 0 && time < $end;
note 'first', Win32::Servane::State();
if ($mode eq 'silent') {                     # no report: the library's own comes at 10 s
    sleep 14;
} elsif ($mode eq 'odd') {                   # reports of state 0 lock nothing out
    no warnings;
    note 'undef', Win32::Servane::State(undef);
    note 'abc', Win32::Servane::State('abc');
    note 'hash', Win32::Servane::State({ state => undef });
} else {
    Win32::Servane::State({ wait_hint => 3000 }); # same state, with a wait hint
    sleep 1.0;                               # start-up work
}
Win32::Servane::State(SERVICE_RUNNING);
while (time < $end + 180) {              # a bound for a test gone wrong
    my $m = Win32::Servane::QueryLastMessage();
    if ($m == -1) { sleep 0.02; next }
    Win32::Servane::QueryLastMessage(1);
    note 'control', $m, 'state', Win32::Servane::State();
    if ($m == SERVICE_CONTROL_STOP) {
        if ($mode eq 'lazy') {               # let the library finish the stop
            sleep 0.02 while Win32::Servane::State() != SERVICE_STOPPED;
        } elsif ($mode eq 'error') {
            Win32::Servane::State({ state => SERVICE_STOPPED, error => 42 });
        } elsif ($mode eq 'odd') {
            # A tied hash that holds only "state" but answers every fetch.
            tie my %only_state, 'OnlyState';
            Win32::Servane::State(\%only_state);
            note 'tied';
            step('error');
            Win32::Servane::State({ state => SERVICE_STOP_PENDING, error => 42 });
            note 'error';
            step('clear');
            Win32::Servane::State(1);        # a plain state clears the error
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
    if ($mode eq 'odd' && $m == SERVICE_CONTROL_PAUSE) {
        my %locked = (state => SERVICE_PAUSED);
        lock_keys(%locked);
        note 'locked', eval { Win32::Servane::State(\%locked); 1 } ? 'ok' : "died: $@";
        next;
    }
    Win32::Servane::SetServiceBits(USER_SERVICE_BITS_1) if $m == SERVICE_CONTROL_INTERROGATE;
    sleep 1.0;
    Win32::Servane::State(SERVICE_PAUSED) if $m == SERVICE_CONTROL_PAUSE;
    Win32::Servane::State(SERVICE_RUNNING) if $m == SERVICE_CONTROL_CONTINUE;
}
note 'end';

package OnlyState;
sub TIEHASH { bless {}, shift }
sub EXISTS { $_[1] eq 'state' }
sub FETCH { $_[1] eq 'state' ? 3 : 42 }     # 3: SERVICE_STOP_PENDING
PERL

# --- A script that reports nothing: the library reports START_PENDING itself
# after 10 s. It runs beside the other services; a watcher notes when the
# manager first shows START_PENDING with the library's wait hint of 0 (its
# own has 2000).
my $silent_start = time;
my $silent_log = start_service('PollSilent', $script, 'silent');
my $silent_watch = "$root/silent.watch";
my $watcher = fork // die "fork: $!";
if (!$watcher) {
    my $until = time + 30;
    while (time < $until) {
        my $s = query('PollSilent');
        if (($s->{state} // 0) == 2 && defined $s->{wait_hint} && $s->{wait_hint} == 0) {
            open my $fh, '>', $silent_watch or POSIX::_exit(1);
            printf $fh "%.2f\n", time - $silent_start;
            close $fh;
            POSIX::_exit(0);
        }
        sleep 0.25;
    }
    POSIX::_exit(1);
}

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

    my ($pid) = read_log($log) =~ /^pid (\d+)$/m;
    # Waits for the bits the layer publishes for the script's process.
    my $bits_become = sub {
        my ($want) = @_;
        my ($bits, $until) = (0, time + 10);
        sleep 0.05 while ($bits = service_bits($pid) // 0) != $want && time < $until;
        return sprintf '%#x', $bits;
    };
    is($bits_become->(0x3FC0C000), '0x3fc0c000',
        'ServiceMain announced the bits kept before the start, user bits only');

    my ($rc, $out) = svcctl('interrogate', 'PollAnswers');
    is($rc, 0, 'interrogate answered') or diag $out;
    ok(wait_log($log, qr/^control 4 state 4$/m, 10), 'the script sees INTERROGATE, state unchanged');
    is($bits_become->(0x4000), '0x4000', 'a later announcement clears the earlier bits first');

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
    # The manager lets INTERROGATE through in PAUSE_PENDING: its re-report
    # of the state leaves the pending move to PAUSED alone.
    my ($rc, $out) = svcctl('interrogate', 'PollLazy');
    is($rc, 0, 'interrogate in PAUSE_PENDING') or diag $out;
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

# --- Odd reports: states of 0, hashes that hold fewer keys than they answer ----
{
    my $log = start_service('PollOdd', $script, 'odd');
    my ($s) = wait_state('PollOdd', 4, 15);
    is($s->{state}, 4, 'RUNNING after reports of state 0: they lock nothing out');
    like(read_log($log), qr/^undef 0\nabc 0\nhash 0$/m, 'each report of 0 is made (the manager refuses it)');
    svcctl('pause', 'PollOdd');
    ($s) = wait_state('PollOdd', 7, 10);
    is($s->{state}, 7, 'PAUSED');
    like(read_log($log), qr/^locked ok$/m, 'a restricted hash holding only "state" is read without dying');

    svcctl('stop', 'PollOdd');
    ok(wait_log($log, qr/^tied$/m, 10), 'the tied hash was reported');
    $s = query('PollOdd');
    is_deeply([@$s{qw(state win32_exit service_exit)}], [3, 0, 0],
        'a tied hash without "error" (which its FETCH would answer) reports no error');
    write_script('PollOdd.log.error', '');
    ok(wait_log($log, qr/^error$/m, 10), 'the error was reported');
    $s = query('PollOdd');
    is_deeply([@$s{qw(state win32_exit service_exit)}], [3, 1066, 42], 'STOP_PENDING with error 42');
    write_script('PollOdd.log.clear', '');
    ($s) = wait_state('PollOdd', 1, 15);
    is_deeply([@$s{qw(state win32_exit service_exit)}], [1, 0, 0], 'State(1) clears the error');
    wait_log($log, qr/^end$/m, 10);
}

# --- The silent service, started first --------------------------------------------------
{
    waitpid $watcher, 0;
    my $at = read_log($silent_watch);
    ok($at ne '', "the library reported START_PENDING itself") or diag(query('PollSilent')->{text});
    chomp $at;
    cmp_ok($at || 0, '>=', 9.5, "after about 10 s ($at s)");
    my ($s) = wait_state('PollSilent', 4, 20);
    is($s->{state}, 4, 'then RUNNING when the script says so');
    svcctl('stop', 'PollSilent');
    ($s) = wait_state('PollSilent', 1, 15);
    is($s->{state}, 1, 'stopped');
}

remove_services(qw(PollAnswers PollLazy PollError PollHang PollOdd PollSilent));
done_testing();
