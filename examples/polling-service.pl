#!/usr/bin/perl
# A complete Win32::Servane service in polling mode: the script runs its own
# loop, asks the library which control the service control manager sent,
# and answers each one by reporting the new state.
#
# Install it with the perl interpreter as the program and this script as its
# parameters, for example:
#   Win32::Servane::CreateService({ name => 'PerlPoll', display => 'Perl polling service',
#       path => $^X, parameters => "$0 /var/log/perlpoll.log" });
# Its only argument is the file it writes its log lines to.
use strict;
use warnings;
use IO::Handle;
use Time::HiRes qw(sleep);
use Win32::Servane;

my $logfile = shift // 'polling-service.log';
open my $log, '>>', $logfile or die "$logfile: $!";
$log->autoflush(1);
sub note { printf $log "%s %s\n", scalar localtime, "@_" }

# Give the script 10 s for each pending state before the library moves the
# service on by itself, and accept stop, pause/continue and shutdown.
Win32::Servane::Timeout(10);
Win32::Servane::AcceptedControls(
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);

Win32::Servane::StartService();

# Wait until the manager has run ServiceMain (the state leaves 0).
sleep 0.05 while Win32::Servane::State() == SERVICE_NOT_READY;
if (Win32::Servane::State() == SERVICE_STOPPED) {
    note 'not started by the service control manager';
    exit 1;
}
note 'starting';
Win32::Servane::State(SERVICE_START_PENDING, 3000);   # start-up takes up to 3 s
sleep 0.5;                                            # the start-up work
Win32::Servane::State(SERVICE_RUNNING);
note 'running';

my $work = 0;
while (1) {
    my $control = Win32::Servane::QueryLastMessage();
    Win32::Servane::QueryLastMessage(1) if $control != SERVICE_CONTROL_NONE;
    my $state = Win32::Servane::State();

    if ($control == SERVICE_CONTROL_STOP || $control == SERVICE_CONTROL_SHUTDOWN
        || $state == SERVICE_STOPPED) {
        note 'stopping';
        Win32::Servane::State(SERVICE_STOPPED);
        last;
    }
    if ($control == SERVICE_CONTROL_PAUSE || $state == SERVICE_PAUSE_PENDING) {
        note 'paused';
        Win32::Servane::State(SERVICE_PAUSED);
    } elsif ($control == SERVICE_CONTROL_CONTINUE || $state == SERVICE_CONTINUE_PENDING) {
        note 'continued';
        Win32::Servane::State(SERVICE_RUNNING);
    } elsif ($control == SERVICE_CONTROL_INTERROGATE) {
        note 'interrogated';
    }

    # The service's own work, one unit of 0.3 s at a time while running;
    # controls are looked at between units.
    if (Win32::Servane::State() == SERVICE_RUNNING) {
        sleep 0.3;
        $work++;
    } else {
        sleep 0.1;
    }
}

Win32::Servane::StopService();
note "stopped after $work rounds of work";
