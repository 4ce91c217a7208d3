use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(run_perl);
use ServaneService qw(new_root);

# The service runtime in a plain perl process, outside the service control
# manager: argument checks, the state before a service run, and the callback
# loop (the dispatcher fails at once, so the state becomes SERVICE_STOPPED,
# but the callback timer still drives the loop).
new_root();

sub run {
    my ($code) = @_;
    my ($status, $out, $err) = run_perl("use strict; use warnings; use Win32::Servane;\n$code");
    diag($err) if $status || $err =~ /\S/;
    return $out;
}

# --- Wrong argument counts: the exact usage errors -------------------------------
my $usage = run(<<'PERL');
my @cases = (
    q{Win32::Servane::State(1, 2, 3)},
    q{Win32::Servane::QueryLastMessage(1, 2)},
    q{Win32::Servane::Timeout(1, 2)},
    q{Win32::Servane::AcceptedControls(1, 2)},
    q{Win32::Servane::SetServiceBits()},
    q{Win32::Servane::SetServiceBits(1, 2, 3)},
    q{Win32::Servane::StartService(1, 2, 3)},
    q{Win32::Servane::CallbackTimer(1, 2)},
    q{Win32::Servane::RegisterCallbacks()},
    q{Win32::Servane::RegisterCallbacks(1, 2)},
    q{Win32::Servane::StopService(1)},
    q{Win32::Servane::GetServiceHandle(1)},
);
for my $c (@cases) { eval $c; print "[$@]\n"; }
PERL
my @errors = $usage =~ /\[(.*?)\]\n/sg;
is($errors[0], "Usage: State( [\$State [, \$WaitHint ] || \\%Hash ] )\n", 'State usage');
is($errors[1], "Usage: QueryLastMessage( [\$fResetMessage] )\n", 'QueryLastMessage usage');
is($errors[2], "Usage: Win32::Servane::Timeout( [\$Timeout] )\n", 'Timeout usage');
is($errors[3], "Usage: Win32::Servane::AcceptedControls( [\$NewControls] )\n",
    'AcceptedControls usage');
is($errors[4], "Usage: SetServiceBits( \$Value, [\$hServiceHandle] )\n", 'SetServiceBits usage (none)');
is($errors[5], "Usage: SetServiceBits( \$Value, [\$hServiceHandle] )\n", 'SetServiceBits usage (3)');
is($errors[6], "Usage: Win32::Servane::StartService( [ \\%Context [, \$CallbackTimer] ] )\n",
    'StartService usage');
is($errors[7], "Usage: Win32::Servane::CallbackTimer( [ \$CallbackTimer ] )\n",
    'CallbackTimer usage');
like($errors[8], qr/^Usage: Win32::Servane::RegisterCallbacks\(pSv\) at /, 'RegisterCallbacks usage');
like($errors[9], qr/^Usage: Win32::Servane::RegisterCallbacks\(pSv\) at /, 'RegisterCallbacks usage (2)');
like($errors[10], qr/^Usage: Win32::Servane::StopService\(\) at /, 'StopService usage');
like($errors[11], qr/^Usage: Win32::Servane::GetServiceHandle\(\) at /, 'GetServiceHandle usage');

# --- Before any service run -------------------------------------------------------------
is(run(<<'PERL'), "0 0 -1 -1 5 7 31 0 1 0 5000 0\n", 'state interface before StartService');
my @r;
push @r, Win32::Servane::State();
push @r, Win32::Servane::State(4);             # ServiceMain has not run: ignored
push @r, Win32::Servane::QueryLastMessage();
push @r, Win32::Servane::QueryLastMessage(0);
push @r, Win32::Servane::Timeout();
push @r, Win32::Servane::Timeout(7);
push @r, Win32::Servane::AcceptedControls();  # major version 6 of the layer
push @r, Win32::Servane::GetServiceHandle();
push @r, Win32::Servane::SetServiceBits(0x4000);  # kept for ServiceMain
push @r, Win32::Servane::StopService();       # no service thread
push @r, Win32::Servane::CallbackTimer();
push @r, Win32::Servane::QueryLastMessage(1);
$r[-1] = $r[-1] + 1;                          # -1 after a reset
print "@r\n";
PERL

is(run(<<'PERL'), "1 1 0 0 0 0 -1 -1\n", 'registration results and odd arguments');
my @r;
push @r, Win32::Servane::RegisterCallbacks(sub { 1 });
push @r, Win32::Servane::RegisterCallbacks({ stop => sub { 1 }, pause => 'not code' });
push @r, Win32::Servane::RegisterCallbacks([]);
push @r, Win32::Servane::RegisterCallbacks('main::foo');
push @r, Win32::Servane::RegisterCallbacks(undef);
push @r, Win32::Servane::RegisterCallbacks(\*STDOUT);
push @r, Win32::Servane::AcceptedControls(0xFFFFFFFF);
push @r, Win32::Servane::Timeout(-1);
print "@r\n";
PERL

# --- A service run outside the manager ----------------------------------------------------
my $polling = run(<<'PERL');
use Time::HiRes qw(time sleep);
my $h = Win32::Servane::StartService();
my $again = Win32::Servane::StartService();
my $end = time + 10;
sleep 0.02 while Win32::Servane::State() != SERVICE_STOPPED && time < $end;
my $t = time;
my $stopped = Win32::Servane::StopService();
printf "%d %d %d %d %.1f\n", $h != 0, $again == $h, Win32::Servane::State(), $stopped, time - $t;
PERL
like($polling, qr/^1 1 1 1 0\.[0-4]\n$/,
    'StartService returns a handle (the same twice), the state becomes STOPPED, StopService returns at once');

# Without a status handle (the manager never ran the service) State reads
# the state and ignores every report.
is(run(<<'PERL'), "1 1 1 1\n", 'State outside the manager only reads');
use Time::HiRes qw(time sleep);
require Tie::Hash;
Win32::Servane::StartService();
my $end = time + 10;
sleep 0.02 while Win32::Servane::State() != SERVICE_STOPPED && time < $end;
tie my %report, 'Tie::StdHash';
$report{state} = 4;
print join(' ', Win32::Servane::State(\%report), Win32::Servane::State(4),
           Win32::Servane::State(0), Win32::Servane::State()), "\n";
PERL

# Callbacks: one subroutine for every event gets the ticks as RUNNING.
like(run(<<'PERL'), qr/^4160 4160 4160 \| 1 \| 1$/m, 'one subroutine: ticks arrive as SERVICE_CONTROL_RUNNING');
my @events;
my $h = Win32::Servane::RegisterCallbacks(sub {
    my ($event, $ctx) = @_;
    push @events, $event;
    Win32::Servane::StopService() if @events == 3;
    return;
});
my $r = Win32::Servane::StartService({}, 20);
print "@events | ", ($r != 0 ? 1 : 0), " | ", Win32::Servane::State(), "\n";
PERL

# A hash with only "timer": ticks arrive as SERVICE_CONTROL_TIMER, and the
# context hash carries "command".
is(run(<<'PERL'), "4128:4128:x 4128:4128:x | 4128\n", 'a hash with only "timer": SERVICE_CONTROL_TIMER');
my @seen;
Win32::Servane::RegisterCallbacks({ timer => sub {
    my ($event, $ctx) = @_;
    push @seen, join ':', $event, $ctx->{command}, $ctx->{mine} // '-';
    Win32::Servane::StopService() if @seen == 2;
    return;
} });
my %ctx = (mine => 'x');
Win32::Servane::StartService(\%ctx, 20);
print "@seen | $ctx{command}\n";
PERL

is(run(<<'PERL'), "command command\n", 'without a context each call gets a fresh hash holding only "command"');
my @keys;
Win32::Servane::RegisterCallbacks({ timer => sub {
    my ($event, $ctx) = @_;
    push @keys, join ',', sort keys %$ctx;
    $ctx->{left_behind} = 1;
    Win32::Servane::StopService() if @keys == 2;
    return;
} });
Win32::Servane::StartService(undef, 20);
print "@keys\n";
PERL

# A tied context hash receives "command" through its own STORE.
is(run(<<'PERL'), "4128:4128 | command=4128\n", 'a tied context hash gets "command"');
package Recorder { require Tie::Hash; our @ISA = ('Tie::StdHash');
    sub STORE { $main::stored = "$_[1]=$_[2]"; $_[0]{$_[1]} = $_[2] } }
our $stored = '';
my @seen;
tie my %ctx, 'Recorder';
Win32::Servane::RegisterCallbacks({ timer => sub {
    push @seen, join ':', $_[0], $_[1]{command} // '-';
    Win32::Servane::StopService();
    return;
} });
Win32::Servane::StartService(\%ctx, 20);
print "@seen | $stored\n";
PERL

# A context reached through a tied scalar is fetched.
is(run(<<'PERL'), "4128:y\n", 'a tied scalar holding the context reference');
package Holder { sub TIESCALAR { bless {}, shift } sub FETCH { { mine => 'y' } } }
my @seen;
tie my $context, 'Holder';
Win32::Servane::RegisterCallbacks({ timer => sub {
    push @seen, join ':', $_[0], $_[1]{mine} // '-';
    Win32::Servane::StopService();
    return;
} });
Win32::Servane::StartService($context, 20);
print "@seen\n";
PERL

# An integer result becomes the state; a string holding 4 does not.
is(run(<<'PERL'), "1 4 7\n", 'integer results report a state, strings do not');
my @states;
my $n = 0;
Win32::Servane::RegisterCallbacks({ timer => sub {
    $n++;
    push @states, Win32::Servane::State();
    return "4" if $n == 1;
    return 4 if $n == 2;
    Win32::Servane::StopService();
    return SERVICE_PAUSED;
} });
Win32::Servane::StartService(undef, 20);
shift @states;                                     # before the first callback: STOPPED
print join(' ', $states[0], $states[1], Win32::Servane::State()), "\n";
PERL

# Perl's true and false (the results of print, comparisons, !) are not
# states, though they hold the integers 1 and 0.
is(run(<<'PERL'), "4 4 4 4 4 | 1\n", 'boolean results change no state');
open my $null, '>', '/dev/null' or die;
my @states;
my $n = 0;
Win32::Servane::RegisterCallbacks({ timer => sub {
    $n++;
    push @states, Win32::Servane::State() if $n > 1;
    return SERVICE_RUNNING if $n == 1;
    return print {$null} 'x' if $n == 2;
    return $n == 99 if $n == 3;
    return !1 if $n == 4;
    return $n == 5 if $n == 5;
    Win32::Servane::StopService();
    return;
} });
Win32::Servane::StartService(undef, 20);
print "@states | ", Win32::Servane::State(), "\n";
PERL

# A hash registration after a full one clears the slots it does not name.
is(run(<<'PERL'), "4128\n", 'a hash registration replaces a full one');
my @events;
Win32::Servane::RegisterCallbacks(sub { push @events, "all$_[0]"; Win32::Servane::StopService() });
Win32::Servane::RegisterCallbacks({ timer => sub { push @events, $_[0]; Win32::Servane::StopService() } });
Win32::Servane::StartService(undef, 20);
print "@events\n";
PERL

# The same with a tied hash: the names it does not hold are cleared too.
is(run(<<'PERL'), "4128\n", 'a tied hash registration replaces a full one');
require Tie::Hash;
my @events;
tie my %callbacks, 'Tie::StdHash';
$callbacks{timer} = sub { push @events, $_[0]; Win32::Servane::StopService() };
Win32::Servane::RegisterCallbacks(sub { push @events, "all$_[0]"; Win32::Servane::StopService() });
Win32::Servane::RegisterCallbacks(\%callbacks);
Win32::Servane::StartService(undef, 20);
print "@events\n";
PERL

# A Perl error in a callback unwinds out of StartService; the process goes on.
is(run(<<'PERL'), "died: boom|1|usable\n", 'a die in a callback unwinds out of StartService');
my $calls = 0;
Win32::Servane::RegisterCallbacks({ timer => sub { $calls++; die "boom\n" } });
my $ok = eval { Win32::Servane::StartService(undef, 20); 1 };
chomp(my $e = $@);
print "died: $e|$calls|", (Win32::Servane::State() == SERVICE_STOPPED ? 'usable' : 'odd'), "\n";
PERL

# A closure registered through a temporary hash stays callable after the hash
# is gone.
is(run(<<'PERL'), "closure 4128\n", 'a registered closure outlives the temporary hash');
my $out;
{
    my $word = 'closure';
    Win32::Servane::RegisterCallbacks({ timer => sub { $out = "$word $_[0]"; Win32::Servane::StopService(); return } });
}
Win32::Servane::StartService(undef, 20);
print "$out\n";
PERL

# A callback that replaces itself keeps running safely to its end.
is(run(<<'PERL'), "first:still here second\n", 'a callback may replace its own registration');
my @out;
{
    my $word = 'still here';
    Win32::Servane::RegisterCallbacks({ timer => sub {
        my $text = "first";
        Win32::Servane::RegisterCallbacks({ timer => sub {
            push @out, 'second';
            Win32::Servane::StopService();
            return;
        } });
        push @out, "$text:$word";
        return;
    } });
}
Win32::Servane::StartService(undef, 20);
print "@out\n";
PERL

done_testing();
