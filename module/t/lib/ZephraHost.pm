package ZephraHost;
# The library works only inside the server, so every test runs in
# zephra-host. Started by a plain perl (prove, make test), loading this
# package runs the same test file in the host instead, with the library
# under test on @INC and the plain perl in PLAIN_PERL; inside the host it
# only puts the library on @INC. The library under test:
#
# - after `perl Makefile.PL && make` here, the blib/ of this folder, with the
#   zephra-host its Makefile names;
# - else the CMake build tree: BUILD_DIR when set (CTest sets it), else
#   build/ at the top of the source tree.
use strict;
use warnings;
use File::Basename qw(dirname);
use File::Spec;

my $dist = File::Spec->rel2abs(dirname(dirname(dirname(__FILE__))));

sub _makemaker_build { !$ENV{BUILD_DIR} && -d "$dist/blib/arch/auto/Zephra2/Module" }

sub _build_dir {
    return $ENV{BUILD_DIR} if $ENV{BUILD_DIR};
    my $top = dirname($dist);
    return -f "$top/CMakeLists.txt" ? "$top/build" : undef;
}

sub _makefile_macro {
    my ($name) = @_;
    open my $fh, '<', "$dist/Makefile" or return undef;
    while (<$fh>) {
        return $1 if /^\Q$name\E\s*=\s*(.*?)\s*$/;
    }
    return undef;
}

# The folders to put on @INC for the library under test.
sub blib {
    return ("$dist/blib/lib", "$dist/blib/arch") if _makemaker_build();
    my $build = _build_dir();
    return $build ? ("$build/blib") : ();
}

sub host {
    return _makefile_macro('ZEPHRA_HOST') if _makemaker_build();
    my $build = _build_dir();
    return $build ? "$build/bin/zephra-host" : undef;
}

sub in_host { defined &Zephra2::ServerUtil::server }

{
    my %seen = map { $_ => 1 } @INC;
    unshift @INC, grep { !$seen{$_} } blib();
}

unless (in_host()) {
    my $host = host();
    unless ($host && -x $host) {
        print "1..0 # SKIP zephra-host not found\n";
        exit 0;
    }
    $ENV{PLAIN_PERL} //= $^X;
    exec $host, (map { "-I$_" } blib()), $0, @ARGV or die "exec $host: $!\n";
}

1;
