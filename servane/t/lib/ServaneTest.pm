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

# Runs perl code in a fresh interpreter with the build's blib on @INC (a
# Windows Perl has the extension in its own tree instead); returns (exit
# status, stdout, stderr). The child inherits this process's STDOUT and
# STDERR, pointed at files for the time of the call: that works the same
# on every platform, where fork and exec do not.
sub run_perl {
    my ($code, @args) = @_;
    my ($fh, $file) = tempfile(UNLINK => 1, SUFFIX => '.pl');
    print $fh $code;
    close $fh;
    my ($oh, $out) = tempfile(UNLINK => 1);
    my ($eh, $err) = tempfile(UNLINK => 1);
    close $oh;
    close $eh;
    open my $saved_out, '>&', \*STDOUT or die "dup STDOUT: $!";
    open my $saved_err, '>&', \*STDERR or die "dup STDERR: $!";
    open STDOUT, '>', $out or die "$out: $!";
    open STDERR, '>', $err or die "$err: $!";
    my @inc = $^O eq 'MSWin32' ? () : ('-I' . blib());
    my $rc = system $^X, @inc, $file, @args;
    open STDOUT, '>&', $saved_out or die "restore STDOUT: $!";
    open STDERR, '>&', $saved_err or die "restore STDERR: $!";
    die "running $^X: $!" if $rc == -1;
    my $status = $? >> 8;
    local $/;
    my $o = do { open my $h, '<', $out or die; <$h> };
    my $e = do { open my $h, '<', $err or die; <$h> };
    return ($status, $o, $e);
}
1;
