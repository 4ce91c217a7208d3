#!/usr/bin/perl
# The main demonstration: installs each example service script (polling and
# callback mode) as a service of the service control manager with
# Win32::Servane, starts, pauses, continues and stops it with
# Win32::Servane::Control, showing each state as the manager reports it,
# and removes it again. On the Windows layer it runs in a temporary state
# root of its own unless WIN32POSIX_ROOT names one.
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;
use File::Temp qw(tempdir);
use Time::HiRes qw(sleep time);

my $root;
BEGIN {
    # The state root must be chosen before the first call that needs it.
    $root = $ENV{WIN32POSIX_ROOT} //= tempdir('servane-main-XXXXXX', TMPDIR => 1, CLEANUP => 1);
}
use Win32::Servane qw(:DEFAULT CreateService DeleteService GetLastError GetVersion);
use Win32::Servane::Control qw(start stop pause resume status wait_for last_error);

my $examples = File::Spec->rel2abs(dirname(__FILE__));
# The service scripts load the library this script loaded: the folders of
# @INC that hold it.
my @inc = grep { -e "$_/Win32/Servane.pm" || -e "$_/auto/Win32/Servane/Servane.so" }
          map { File::Spec->rel2abs($_) } grep { !ref } @INC;

my %state_name = (
    0 => 'NOT_READY', 1 => 'STOPPED', 2 => 'START_PENDING', 3 => 'STOP_PENDING',
    4 => 'RUNNING', 5 => 'CONTINUE_PENDING', 6 => 'PAUSE_PENDING', 7 => 'PAUSED');

printf "Win32::Servane %s (library %s), Win32::Servane::Control %s, state root %s\n",
    $Win32::Servane::VERSION, GetVersion(), $Win32::Servane::Control::VERSION, $root;

# Sends one control (or starts the service) and prints every state the
# manager reports until the service settles in the expected state.
my $t0;
sub step {
    my ($name, $verb, $call, $settle) = @_;
    unless ($call->($name)) {
        printf "  %s failed: error %d\n", $verb, last_error();
        return 0;
    }
    printf "  %6.2fs  %s\n", time - $t0, $verb;
    my $last = -1;
    my $end  = time + 30;
    while (time < $end) {
        my $status = status($name);
        my $state  = $status ? $status->{state} : undef;
        if (defined $state && $state != $last) {
            printf "  %6.2fs    %s\n", time - $t0, $state_name{$state} // $state;
            $last = $state;
        }
        return 1 if defined $state && $state == $settle;
        sleep 0.02;
    }
    print "  (no $state_name{$settle} within 30 s)\n";
    return 0;
}

my $failures = 0;
for my $example (['PerlPollingDemo', 'polling-service.pl', 'polling mode'],
                 ['PerlCallbackDemo', 'callback-service.pl', 'callback mode']) {
    my ($name, $script, $mode) = @$example;
    my $log = "$root/$name.log";
    print "\n$name: examples/$script ($mode)\n";
    my $created = CreateService({
        name        => $name,
        display     => "Win32::Servane $mode example",
        description => "examples/$script run by perl",
        path        => $^X,
        parameters  => join(' ', (map { "-I$_" } @inc), "$examples/$script", $log),
    });
    unless ($created) {
        printf "  CreateService failed: error %d\n", GetLastError();
        $failures++;
        next;
    }
    print "  installed with CreateService\n";
    $t0 = time;
    my $ok = step($name, 'start', \&start, SERVICE_RUNNING)
        && sleep(1.2)                 # let the service do some work
        && step($name, 'pause', \&pause, SERVICE_PAUSED)
        && step($name, 'continue', \&resume, SERVICE_RUNNING)
        && step($name, 'stop', \&stop, SERVICE_STOPPED);
    unless ($ok) {
        $failures++;
        stop($name);                   # leave no service process behind
        wait_for($name, SERVICE_STOPPED, 10);
    }
    # The script writes its last line after it has reported STOPPED.
    my $end = time + 5;
    sleep 0.05 while time < $end && !(-s $log && `tail -n1 "$log"` =~ /stopped after|ended/);
    if (open my $fh, '<', $log) {
        print "  the service's log:\n";
        print "    $_" while <$fh>;
    }
    if (DeleteService($name)) {
        print "  removed with DeleteService\n";
    } else {
        printf "  DeleteService failed: error %d\n", GetLastError();
        $failures++;
    }
}
exit($failures ? 1 : 0);
