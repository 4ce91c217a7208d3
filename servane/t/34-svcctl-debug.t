use strict;
use warnings;
use Test::More;
use POSIX qw(:sys_wait_h);
use Time::HiRes qw(sleep time);
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneService qw(new_root have_svcctl read_log end_services);
use ServaneTest qw(blib source_dir svcctl_path);

# Both example services run in a terminal with `svcctl debug perl SCRIPT`,
# as their author would run them: the keys drive the service.
my $root = new_root();
plan skip_all => 'svcctl not built' unless have_svcctl();
plan skip_all => 'the examples are not beside this distribution' unless source_dir();
plan skip_all => 'IO::Pty not installed' unless eval { require IO::Pty; 1 };
plan skip_all => 'services need root (LocalSystem)' if $> != 0;

# Reads the terminal until the pattern shows up after `from`.
sub expect {
    my ($pty, $seen, $re, $from) = @_;
    my $end = time + 20;
    while (time < $end) {
        return 1 if substr($$seen, $from // 0) =~ $re;
        my $rin = '';
        vec($rin, fileno($pty), 1) = 1;
        next unless select(my $rout = $rin, undef, undef, 0.1);
        my $n = sysread($pty, my $buf, 4096);
        last unless $n;
        $$seen .= $buf;
    }
    return substr($$seen, $from // 0) =~ $re;
}

for my $example (qw(polling callback)) {
    my $script = source_dir() . "/examples/$example-service.pl";
    my $log = "$root/$example.log";
    my $pty = IO::Pty->new;
    my $pid = fork // die "fork: $!";
    if (!$pid) {
        $pty->make_slave_controlling_terminal;
        my $tty = $pty->slave;
        open STDIN, '<&', $tty or die;
        open STDOUT, '>&', $tty or die;
        open STDERR, '>&', $tty or die;
        close $pty;
        exec svcctl_path(), 'debug', $^X, (map { "-I$_" } blib()), $script, $log
            or die "exec: $!";
    }
    $pty->close_slave;
    my $seen = '';
    ok(expect($pty, \$seen, qr/RUNNING/), "$example: running") or diag $seen;

    # Ctrl-Z: the service pauses and svcctl is suspended; fg continues.
    syswrite $pty, "\x1a";
    ok(expect($pty, \$seen, qr/PAUSED.*suspended/s), "$example: Ctrl-Z pauses") or diag $seen;
    is(waitpid($pid, WUNTRACED), $pid, "$example: svcctl waits suspended");
    ok(WIFSTOPPED(${^CHILD_ERROR_NATIVE}), "$example: stopped by its own job control");
    my $mark = length $seen;
    kill 'CONT', $pid;
    ok(expect($pty, \$seen, qr/RUNNING/, $mark), "$example: fg continues") or diag $seen;

    # Ctrl-C: stopped, and svcctl ends with the script's exit status.
    syswrite $pty, "\x03";
    ok(expect($pty, \$seen, qr/STOPPED/), "$example: Ctrl-C stops it") or diag $seen;
    waitpid $pid, 0;
    is($? >> 8, 0, "$example: the script's status is svcctl's");
    like(read_log($log), qr/paused.*continued.*stopp/s, "$example: the script saw each control");
}

end_services();
done_testing();
