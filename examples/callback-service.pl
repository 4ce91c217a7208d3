#!/usr/bin/perl
# A complete Win32::Servane service in callback mode: the script registers a
# subroutine per event and hands its thread to the library, which calls them
# for each control of the service control manager and on a periodic timer.
# A callback answers by returning the new state as an integer.
#
# Install it like the polling example (perl as the program, this script as
# its parameters). Its only argument is the file it writes its log lines to.
use strict;
use warnings;
use IO::Handle;
use Win32::Servane;

my $logfile = shift // 'callback-service.log';
open my $log, '>>', $logfile or die "$logfile: $!";
$log->autoflush(1);
sub note { printf $log "%s %s\n", scalar localtime, "@_" }

# Shared with every callback, which also finds the event code under "command".
my %context = (ticks => 0);

Win32::Servane::Timeout(10);
Win32::Servane::AcceptedControls(
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);

# A unit of the service's work in progress that a pause or stop lets finish.
sub finish_work { select undef, undef, undef, 0.3 }

my $stop = sub {
    my ($event, $ctx) = @_;
    finish_work();
    note "stopping (event $event) after $ctx->{ticks} ticks";
    Win32::Servane::State(SERVICE_STOPPED);
    Win32::Servane::StopService();    # ends the callback loop when this returns
    return;
};

Win32::Servane::RegisterCallbacks({
    start => sub {
        note 'starting';
        select undef, undef, undef, 0.5;    # the start-up work
        return SERVICE_RUNNING;
    },
    running => sub {                  # every timer tick while the loop runs
        my ($event, $ctx) = @_;
        $ctx->{ticks}++ if Win32::Servane::State() == SERVICE_RUNNING;
        return;
    },
    pause => sub {
        finish_work();
        note 'paused';
        return SERVICE_PAUSED;
    },
    continue => sub {
        note 'continued';
        return SERVICE_RUNNING;
    },
    interrogate => sub {
        note 'interrogated';
        return;                       # nothing to change
    },
    stop     => $stop,
    shutdown => $stop,
});

# Runs the callbacks, with a tick every 500 ms, until StopService.
my $thread = Win32::Servane::StartService(\%context, 500);
note $thread ? 'service run ended' : 'the service thread could not be started';
