#!/usr/bin/perl
# The main demonstration: installs each example service script (polling and
# callback mode) as a service of the Windows layer's service control manager,
# starts it, pauses, continues and stops it, showing each state as the
# manager reports it, and removes it again. Runs in a temporary state root
# of its own unless WIN32POSIX_ROOT names one.
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;
use File::Temp qw(tempdir);
use Time::HiRes qw(sleep time);

my $root;
BEGIN {
    # The library opens the registry when it loads: choose the root first.
    $root = $ENV{WIN32POSIX_ROOT} //= tempdir('servane-main-XXXXXX', TMPDIR => 1, CLEANUP => 1);
}
use Win32::Servane;

my $examples = File::Spec->rel2abs(dirname(__FILE__));
my $blib     = File::Spec->rel2abs(dirname(dirname($INC{'Win32/Servane.pm'})));
my $svcctl   = $ENV{SVCCTL} // File::Spec->catfile(dirname($blib), 'bin', 'svcctl');
die "svcctl not found at $svcctl (build first)\n" unless -x $svcctl;

my %state_name = (
    0 => 'NOT_READY', 1 => 'STOPPED', 2 => 'START_PENDING', 3 => 'STOP_PENDING',
    4 => 'RUNNING', 5 => 'CONTINUE_PENDING', 6 => 'PAUSE_PENDING', 7 => 'PAUSED');

printf "Win32::Servane %s (library %s), state root %s\n", $Win32::Servane::VERSION,
    Win32::Servane::GetVersion(), $root;

sub svcctl {
    my @args = @_;
    my $out = qx{"$svcctl" @{[ map { quotemeta } @args ]} 2>&1};
    return ($? >> 8, $out);
}

sub state_of {
    my ($name) = @_;
    my (undef, $out) = svcctl('query', $name);
    return $out =~ /STATE\s*:\s*(\d+)/ ? $1 : undef;
}

# Sends one control (or starts the service) and prints every state the
# manager reports until the service settles in the expected state.
my $t0;
sub step {
    my ($name, $verb, $settle) = @_;
    my ($rc, $out) = svcctl($verb, $name);
    if ($rc) {
        print "  svcctl $verb failed:\n$out";
        return 0;
    }
    printf "  %6.2fs  svcctl %s\n", time - $t0, $verb;
    my $last = -1;
    my $end  = time + 30;
    while (time < $end) {
        my $state = state_of($name);
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
    my $created = Win32::Servane::CreateService({
        name        => $name,
        display     => "Win32::Servane $mode example",
        description => "examples/$script run by perl",
        path        => $^X,
        parameters  => join(' ', "-I$blib", "$examples/$script", $log),
    });
    if ($created) {
        print "  installed with CreateService\n";
    } else {
        printf "  CreateService failed (error %d); installing with svcctl create\n",
            Win32::Servane::GetLastError();
        my ($rc, $out) = svcctl('create', $name, 'binPath=',
            join(' ', $^X, "-I$blib", "$examples/$script", $log));
        if ($rc) {
            print "  svcctl create failed:\n$out";
            $failures++;
            next;
        }
    }
    $t0 = time;
    my $ok = step($name, 'start', 4)
        && sleep(1.2)                 # let the service do some work
        && step($name, 'pause', 7)
        && step($name, 'continue', 4)
        && step($name, 'stop', 1);
    unless ($ok) {
        $failures++;
        svcctl('stop', $name);         # leave no service process behind
        my $end = time + 10;
        sleep 0.1 while time < $end && (state_of($name) // 1) != 1;
    }
    # The script writes its last line after it has reported STOPPED.
    my $end = time + 5;
    sleep 0.05 while time < $end && !(-s $log && `tail -n1 "$log"` =~ /stopped after|ended/);
    if (open my $fh, '<', $log) {
        print "  the service's log:\n";
        print "    $_" while <$fh>;
    }
    if (Win32::Servane::DeleteService($name)) {
        print "  removed with DeleteService\n";
    } else {
        my ($rc) = svcctl('delete', $name);
        print $rc ? "  could not remove the service\n" : "  removed with svcctl delete\n";
    }
}
exit($failures ? 1 : 0);
