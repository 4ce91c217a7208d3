package ServaneTest;
# Helpers shared by the Win32::Servane tests, and the build they test. Loading
# this package puts that build's library folders on @INC, so that a plain
# `prove -b t` (or `prove t`) from the distribution's folder works:
#
# - after `perl Makefile.PL && make` here, the blib/ of this folder, with the
#   layer's programs (svcctl) from the folder the Makefile names;
# - else the CMake build tree: BUILD_DIR when set (CTest sets it), else
#   build/ at the top of the source tree.
use strict;
use warnings;
use Exporter 'import';
use File::Basename qw(dirname);
use File::Spec;
use File::Temp qw(tempfile);

our @EXPORT_OK = qw(dist_dir source_dir build_dir blib bin_dir svcctl_path cmake_build run_perl
                    perl_command);

my $dist = File::Spec->rel2abs(dirname(dirname(dirname(__FILE__))));

# The folder holding Makefile.PL, lib/ and t/.
sub dist_dir { $dist }

# The top of the source tree, when the distribution sits in it.
sub source_dir {
    my $top = dirname($dist);
    return -f "$top/CMakeLists.txt" && -d "$top/examples" ? $top : undef;
}

sub _makemaker_build {
    return !$ENV{BUILD_DIR} && -d "$dist/blib/arch/auto/Win32/Servane";
}

sub cmake_build { !_makemaker_build() }

# The CMake build tree (undef for a MakeMaker build).
sub build_dir {
    return undef if _makemaker_build();
    return $ENV{BUILD_DIR} if $ENV{BUILD_DIR};
    my $top = source_dir();
    return $top ? "$top/build" : undef;
}

# The folders to put on @INC for the library under test. A Windows Perl run
# from a CMake build (under Wine) has the extension in its own tree: that
# build's blib/ is the build machine's.
sub blib {
    return ("$dist/blib/lib", "$dist/blib/arch") if _makemaker_build();
    return () if $^O eq 'MSWin32';
    my $build = build_dir();
    return $build ? ("$build/blib") : ();
}

# A macro of this folder's Makefile, as Makefile.PL wrote it.
sub _makefile_macro {
    my ($name) = @_;
    open my $fh, '<', "$dist/Makefile" or return undef;
    while (<$fh>) {
        return $1 if /^\Q$name\E\s*=\s*(.*?)\s*$/;
    }
    return undef;
}

# The folder of the layer's programs (svcctl, svcsupervisor).
sub bin_dir {
    return _makefile_macro('WIN32POSIX_BINDIR') if _makemaker_build();
    my $build = build_dir();
    return $build ? "$build/bin" : undef;
}

sub svcctl_path {
    my $bin = bin_dir();
    return defined $bin ? "$bin/svcctl" : '/nonexistent/svcctl';
}

# This perl with the library under test, as a command list.
sub perl_command { ($^X, map { "-I$_" } blib()) }

{
    my %seen = map { $_ => 1 } @INC;
    unshift @INC, grep { !$seen{$_} } blib();
    # A library in this folder's blib/ has no bin/ above it: name the
    # layer's supervisor for its service starts.
    my $bin = bin_dir();
    $ENV{WIN32POSIX_SUPERVISOR} //= "$bin/svcsupervisor"
        if _makemaker_build() && $bin && -x "$bin/svcsupervisor";
}

# Runs perl code in a fresh interpreter with the library under test on
# @INC; returns (exit status, stdout, stderr). The child inherits this
# process's STDOUT and STDERR, pointed at files for the time of the call:
# that works the same on every platform, where fork and exec do not.
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
    my $rc = system perl_command(), $file, @args;
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
