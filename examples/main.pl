#!/usr/bin/perl
# Shows what the service library offers so far: its version and a few of
# its named constants.
use strict;
use warnings;
use Win32::Servane;

printf "Win32::Servane %s (library version %s)\n", $Win32::Servane::VERSION,
  Win32::Servane::GetVersion();
for my $name (qw(SERVICE_STOPPED SERVICE_START_PENDING SERVICE_RUNNING SERVICE_PAUSED
                 SERVICE_CONTROL_STOP SERVICE_CONTROL_NONE SERVICE_CONTROL_TIMER
                 SC_GROUP_IDENTIFIER)) {
    my $value;
    my $kind = Win32::Servane::Constant($name, $value);
    printf "  %-24s %s\n", $name, $kind == 2 ? "\"$value\"" : $value;
}
printf "last administration error: %d\n", Win32::Servane::GetLastError();
