#!/usr/bin/perl
# A service that writes what Win32::Servane::Control::is_service() says to
# the log file given as its argument, then runs until it is stopped.
use strict;
use warnings;
use Win32::Servane;
use Win32::Servane::Control;

my $answer = Win32::Servane::Control::is_service();
open my $log, '>>', $ARGV[0] or die "$ARGV[0]: $!";
Win32::Servane::StartService();
select undef, undef, undef, 0.05 while Win32::Servane::State() == SERVICE_NOT_READY;
exit 1 if Win32::Servane::State() == SERVICE_STOPPED;
Win32::Servane::State(SERVICE_RUNNING);
print $log "is_service $answer\n";
close $log;
select undef, undef, undef, 0.1
    until Win32::Servane::QueryLastMessage() == SERVICE_CONTROL_STOP
    || Win32::Servane::State() == SERVICE_STOPPED;
Win32::Servane::State(SERVICE_STOPPED);
Win32::Servane::StopService();
