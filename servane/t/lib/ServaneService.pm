package ServaneService;
# Service runs for the Win32::Servane tests: a state root of the test's own,
# the svcctl controller, status queries, and the end of every process the
# run started.
use strict;
use warnings;
use Exporter 'import';
use File::Temp qw(tempdir);
use Test::More ();
use Time::HiRes qw(sleep time);
use ServaneTest qw(svcctl_path perl_command);

our @EXPORT_OK = qw(new_root have_svcctl svcctl query wait_state watch_states install_script
                    write_script write_service_script start_service remove_services
                    read_log wait_log end_services service_bits);

my $root;

# A fresh state root for this test process (removed at exit, after its
# services have been ended).
sub new_root {
    $root = tempdir('servane-run-XXXXXX', TMPDIR => 1, CLEANUP => 1);
    $ENV{WIN32POSIX_ROOT} = $root;
    return $root;
}

sub have_svcctl { -x svcctl_path() }

# Runs svcctl; returns (exit status, output).
sub svcctl {
    my @args = @_;
    my $pid = open(my $fh, '-|') // die "fork: $!";
    if (!$pid) {
        open STDERR, '>&', \*STDOUT;
        exec svcctl_path(), @args or die "exec svcctl: $!";
    }
    local $/;
    my $out = <$fh> // '';
    close $fh;
    return ($? >> 8, $out);
}

# The status of a service as `svcctl query` shows it: a hash with state,
# win32_exit, service_exit (undef fields when the query failed).
sub query {
    my ($name) = @_;
    my ($rc, $out) = svcctl('query', $name);
    my %s = (rc => $rc, text => $out);
    $s{state}        = $1 if $out =~ /STATE\s*:\s*(\d+)/;
    $s{win32_exit}   = $1 if $out =~ /WIN32_EXIT_CODE\s*:\s*(\d+)/;
    $s{service_exit} = $1 if $out =~ /SERVICE_EXIT_CODE\s*:\s*(\d+)/;
    $s{wait_hint}    = hex $1 if $out =~ /WAIT_HINT\s*:\s*0x([0-9a-f]+)/i;
    return \%s;
}

# Polls until the service reports the state; returns the last status and
# the seconds it took (undef status state on timeout).
sub wait_state {
    my ($name, $state, $timeout) = @_;
    $timeout //= 20;
    my $start = time;
    my $s;
    while (1) {
        $s = query($name);
        return ($s, time - $start) if defined $s->{state} && $s->{state} == $state;
        last if time - $start > $timeout;
        sleep 0.05;
    }
    return ($s, time - $start);
}

# The distinct states seen while polling for `seconds`, in order.
sub watch_states {
    my ($name, $seconds, $until) = @_;
    my @seen;
    my $end = time + $seconds;
    while (time < $end) {
        my $s = query($name);
        push @seen, $s->{state} if defined $s->{state} && (!@seen || $seen[-1] != $s->{state});
        last if defined $until && @seen && $seen[-1] == $until;
        sleep 0.03;
    }
    return @seen;
}

# Writes a Perl script into the state root and returns its path.
sub write_script {
    my ($file, $code) = @_;
    my $path = "$root/$file";
    open my $fh, '>', $path or die "$path: $!";
    print $fh $code;
    close $fh;
    return $path;
}

# The opening of every test service script: its arguments are a log file
# and a mode word, and note() appends one line to the log at once.
my $script_head = <<'PERL';
use strict; use warnings;
use IO::Handle;
use Time::HiRes qw(sleep time);
use Win32::Servane;
my ($log, $mode) = @ARGV;
open my $fh, '>>', $log or die "$log: $!";
$fh->autoflush(1);
sub note { print $fh "@_\n" }
PERL

# Writes a service script: the common opening, then the body.
sub write_service_script {
    my ($file, $body) = @_;
    return write_script($file, $script_head . $body);
}

# Installs a service script under the name with its log in the state root,
# starts it (a test of its own: svcctl start succeeds) and returns the log.
sub start_service {
    my ($name, $script, $mode) = @_;
    my $log = "$root/$name.log";
    install_script($name, $script, $log, $mode);
    my ($rc, $out) = svcctl('start', $name);
    Test::More::is($rc, 0, "$name: svcctl start") or Test::More::diag($out);
    return $log;
}

# Deletes the services and ends every process this test started.
sub remove_services {
    svcctl('delete', $_) for @_;
    end_services();
}

# Installs a Perl script as an own-process service run by this perl with the
# build's library.
sub install_script {
    my ($name, $script, @args) = @_;
    my $cmd = join ' ', perl_command(), $script, @args;
    my ($rc, $out) = svcctl('create', $name, 'binPath=', $cmd);
    die "svcctl create $name failed: $out" if $rc;
    return $cmd;
}

# The service bits the layer publishes for the run of the process `pid`, or
# undef. The supervisor's status record (<root>/scm/svc-*.status, see
# platform/win32/README.md) is a 64-bit sequence (even when whole), a magic
# and a version, SERVICE_STATUS_PROCESS (nine 32-bit fields, the process id
# eighth), then the bits.
sub service_bits {
    my ($pid) = @_;
    return undef unless $pid;
    for my $file (glob "$root/scm/*.status") {
        for (1 .. 20) {
            open my $fh, '<:raw', $file or last;
            local $/;
            my $data = <$fh> // '';
            last if length $data < 56;
            my ($seq, $magic, $version, @rest) = unpack 'Q L L L9 L', $data;
            next if $seq % 2;                # a write under way: read again
            return $rest[9] if $magic == 0x53323357 && $rest[7] == $pid;
            last;
        }
    }
    return undef;
}

sub read_log {
    my ($path) = @_;
    open my $fh, '<', $path or return '';
    local $/;
    return <$fh> // '';
}

# Waits until the log holds a line matching the pattern.
sub wait_log {
    my ($path, $re, $timeout) = @_;
    my $end = time + ($timeout // 20);
    while (time < $end) {
        return 1 if read_log($path) =~ $re;
        sleep 0.05;
    }
    return 0;
}

# Ends every supervisor (and with it its service process) of this test's
# state root: the run files under <root>/scm hold their pids.
sub end_services {
    return unless $root && -d "$root/scm";
    for my $run (glob "$root/scm/*.run") {
        open my $fh, '<', $run or next;
        my $pid = <$fh>;
        next unless defined $pid && $pid =~ /^(\d+)/;
        $pid = $1;
        next unless _belongs_to_root($pid);
        kill 'KILL', $pid;
    }
}

sub _belongs_to_root {
    my ($pid) = @_;
    open my $fh, '<', "/proc/$pid/environ" or return 0;
    local $/;
    my $env = <$fh> // '';
    return index($env, "WIN32POSIX_ROOT=$root\0") >= 0;
}

END { end_services() }

1;
