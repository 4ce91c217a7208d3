package WinService;
# Helpers of the tests that run Perl service scripts under a Windows service
# control manager: install a script as a service, drive it with svcdrive.exe
# (the tests' controller, in the Perl tree's test-bin/) and read its log.
use strict;
use warnings;
use Exporter 'import';
use File::Basename qw(dirname);
use File::Spec;
use Test::More;
use Win32::Servane;

our @EXPORT_OK = qw(example install drive status_of wait_for log_lines unique_name
                    install_example live_through_controls under_wine temp_file);

my $svcdrive = File::Spec->catfile(dirname(dirname($^X)), 'test-bin', 'svcdrive.exe');

# The checkout's examples/<name>.
sub example {
    my ($name) = @_;
    my $root = File::Spec->rel2abs(File::Spec->catdir(dirname(__FILE__), ('..') x 4));
    return File::Spec->canonpath(File::Spec->catfile($root, 'examples', $name));
}

sub unique_name { "$_[0]$$" }

# Wine's service control manager, rather than Windows' own (where a check
# meets one of Wine's defects, it expects what Wine does).
sub under_wine {
    my $system32 = File::Spec->catdir($ENV{SystemRoot} // 'C:\\windows', 'system32');
    return -e File::Spec->catfile($system32, 'winecfg.exe');
}

# Installs a Perl script as a demand-start service run by this Perl, with the
# log file as its argument; returns CreateService's result.
sub install {
    my (%args) = @_;
    return Win32::Servane::CreateService({
        name        => $args{name},
        display     => $args{display} // "Win32::Servane test $args{name}",
        description => $args{description} // 'a Perl service script under test',
        path        => $^X,
        parameters  => qq{"$args{script}" "$args{log}"},
        start_type  => $args{start_type} // SERVICE_DEMAND_START,
    });
}

sub temp_file { File::Spec->catfile($ENV{TEMP} // File::Spec->tmpdir, $_[0]) }

# Installs examples/<script> as a service named after $prefix, as a test;
# returns the service name and its log file.
sub install_example {
    my ($prefix, $script) = @_;
    my $name = unique_name($prefix);
    my $log  = temp_file("$name.log");
    unlink $log;
    is(install(name => $name, script => example($script), log => $log), 1, 'CreateService')
        or diag('GetLastError ' . Win32::Servane::GetLastError());
    return ($name, $log);
}

# Runs svcdrive; returns its exit status and its lines. A status line becomes
# a hash (state, exit, specific, accepted), an error line { error => code }.
sub drive {
    my (@args) = @_;
    my @out = `"$svcdrive" @args`;
    my $rc  = $? >> 8;
    my @parsed;
    for (@out) {
        s/\s+\z//;
        if (/^status (\d+) (\d+) (\d+) (\d+)$/) {
            push @parsed, { state => $1, exit => $2, specific => $3, accepted => $4 };
        } elsif (/^error (\d+)$/) {
            push @parsed, { error => $1 };
        }
    }
    return ($rc, @parsed);
}

sub status_of {
    my ($name) = @_;
    my (undef, $s) = drive('query', $name);
    return $s;
}

# Waits (up to $seconds) for a state; returns the states seen on the way and
# the last status.
sub wait_for {
    my ($name, $state, $seconds) = @_;
    my ($rc, @seen) = drive('wait', $name, $state, $seconds // 60);
    return ([map { $_->{state} // "error $_->{error}" } @seen], $seen[-1] // {});
}

# The log's lines without their time stamps, once it holds a line matching
# $until (or after $seconds).
sub log_lines {
    my ($file, $until, $seconds) = @_;
    my $end = time + ($seconds // 30);
    my @lines;
    while (1) {
        @lines = ();
        if (open my $fh, '<', $file) {
            @lines = map { s/^\w+ \w+ +\d+ [\d:]+ \d+ //r =~ s/\s+\z//r } <$fh>;
        }
        last if !defined $until || grep { /$until/ } @lines;
        last if time > $end;
        select undef, undef, undef, 0.2;
    }
    return @lines;
}

# Starts an installed example service and drives it through pause, continue,
# interrogate, a user-defined control and stop, as tests. Each control's own
# answer is the handler's report: the pending state, or the script's answer
# when that came first. The script's log shows when it has seen the
# interrogation: a polling script sees only the last control sent, so the
# next one waits for that.
sub live_through_controls {
    my ($name, $log) = @_;
    my ($rc) = drive('start', $name);
    is($rc, 0, 'StartService');
    my ($seen, $s) = wait_for($name, SERVICE_RUNNING);
    is($s->{state}, SERVICE_RUNNING, 'the script reports RUNNING') or diag("states seen: @$seen");
    is($s->{accepted}, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN,
        'with the controls it accepts');

    subtest 'pause and continue' => sub {
        my (undef, $s) = drive('control', $name, SERVICE_CONTROL_PAUSE);
        like($s->{state}, qr/^[67]$/, 'PAUSE answered with PAUSE_PENDING (or PAUSED)');
        (undef, $s) = wait_for($name, SERVICE_PAUSED);
        is($s->{state}, SERVICE_PAUSED, 'the script reports PAUSED');
        (undef, $s) = drive('control', $name, SERVICE_CONTROL_CONTINUE);
        like($s->{state}, qr/^[54]$/, 'CONTINUE answered with CONTINUE_PENDING (or RUNNING)');
        (undef, $s) = wait_for($name, SERVICE_RUNNING);
        is($s->{state}, SERVICE_RUNNING, 'running again');
    };

    # Time to work while running: the callback example counts timer ticks
    # (every 500 ms, the period restarting with each control it receives),
    # and the controls above and below may come faster than that.
    sleep 2;

    subtest 'interrogate and a user-defined control change nothing' => sub {
        for my $control (SERVICE_CONTROL_INTERROGATE, 128) {
            my ($rc, $s) = drive('control', $name, $control);
            is($rc, 0, "control $control accepted");
            is($s->{state}, SERVICE_RUNNING, 'answered with RUNNING');
            ok(grep({ $_ eq 'interrogated' } log_lines($log, qr/^interrogated$/)),
                'the script saw the interrogation')
                if $control == SERVICE_CONTROL_INTERROGATE;
        }
    };

    subtest 'stop' => sub {
        my (undef, $s) = drive('control', $name, SERVICE_CONTROL_STOP);
        like($s->{state}, qr/^[31]$/, 'STOP answered with STOP_PENDING (or STOPPED)');
        (my $seen, $s) = wait_for($name, SERVICE_STOPPED);
        is($s->{state}, SERVICE_STOPPED, 'STOPPED') or diag("states seen: @$seen");
        is($s->{exit}, 0, 'no Win32 exit code');
        is($s->{specific}, 0, 'no service-specific exit code');
    };
}

1;
