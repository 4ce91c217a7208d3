package ServaneTest;
# Helpers shared by the Win32::Servane tests.
use strict;
use warnings;
use Exporter 'import';
use File::Spec;
use File::Temp qw(tempfile);

our @EXPORT_OK = qw(build_dir blib run_perl);

sub build_dir { $ENV{BUILD_DIR} // File::Spec->rel2abs('build') }
sub blib      { build_dir() . '/blib' }

# Runs perl code in a fresh interpreter with the build's blib on @INC;
# returns (exit status, stdout, stderr).
sub run_perl {
    my ($code, @args) = @_;
    my ($fh, $file) = tempfile(UNLINK => 1, SUFFIX => '.pl');
    print $fh $code;
    close $fh;
    my ($oh, $out) = tempfile(UNLINK => 1);
    my ($eh, $err) = tempfile(UNLINK => 1);
    my $pid = fork // die "fork: $!";
    if (!$pid) {
        open STDOUT, '>', $out or die;
        open STDERR, '>', $err or die;
        exec $^X, '-I' . blib(), $file, @args or die "exec: $!";
    }
    waitpid $pid, 0;
    my $status = $? >> 8;
    local $/;
    my $o = do { open my $h, '<', $out or die; <$h> };
    my $e = do { open my $h, '<', $err or die; <$h> };
    return ($status, $o, $e);
}

1;
