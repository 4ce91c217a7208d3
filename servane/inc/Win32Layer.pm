package Win32Layer;
# Build settings shared by the Makefile.PL files of this distribution: the
# C++ compiler and its flags, and where the Windows API comes from. On
# Windows that is the system (advapi32, user32, kernel32); elsewhere the
# installed Windows layer, found through its pkg-config file win32posix.pc.
use strict;
use warnings;
use Config;
use File::Spec;

# Without the layer there is nothing to build against: say how to get it
# and stop without writing a Makefile (CPAN testers then report NA).
sub _missing_layer {
    my ($what) = @_;
    print STDERR <<"TEXT";
Cannot find the Windows layer ($what).
Build and install it from the source tree first, for example:
    cmake -S . -B build && cmake --build build
    cmake --install build --prefix \$HOME/servane
and point pkg-config at it:
    PKG_CONFIG_PATH=\$HOME/servane/lib/pkgconfig perl Makefile.PL
TEXT
    exit 0;
}

sub _pkg_config {
    my (@args) = @_;
    my $out = `pkg-config @args win32posix 2>&1`;
    _missing_layer("pkg-config @args win32posix: " . ($out =~ s/\s+\z//r)) if $? != 0;
    return $out =~ s/\s+\z//r;
}

# The C++ compiler: CXX, else the C++ driver beside Perl's C compiler.
sub _compiler {
    return $ENV{CXX} if $ENV{CXX};
    my $cc = $Config{cc};
    return $cc =~ s/gcc(?=[^\/\\]*$)/g++/r if $cc =~ /gcc[^\/\\]*$/;
    return $cc =~ s/clang(?=[^\/\\]*$)/clang++/r if $cc =~ /clang[^\/\\]*$/;
    return 'c++';
}

# Arguments for WriteMakefile. Extension libraries export only their
# bootstrap function: the glue is compiled with hidden visibility, and the
# static libraries' symbols stay inside the library.
sub makemaker_args {
    my %args;
    my $cxx = _compiler();
    my @flags = ('-std=c++20');
    if ($^O eq 'MSWin32' || $^O eq 'cygwin') {
        $args{LIBS} = ['-ladvapi32 -luser32 -lkernel32'];
        $args{macro} = { WIN32POSIX_BINDIR => '' };
    } else {
        _pkg_config('--exists');
        $args{INC} = _pkg_config('--cflags');
        # MakeMaker's library list takes -L and -l only.
        $args{LIBS} = [_pkg_config('--libs') =~ s/(?<!\S)-pthread(?!\S)/-lpthread/r];
        $args{macro} = { WIN32POSIX_BINDIR => _pkg_config('--variable=bindir') };
        push @flags, '-fvisibility=hidden', '-fvisibility-inlines-hidden';
        $args{dynamic_lib} = { OTHERLDFLAGS => '-Wl,--exclude-libs,ALL' } if $^O eq 'linux';
    }
    # Perl's headers as system headers: their C constructs that C++20
    # deprecates are not ours to warn about.
    my $core = File::Spec->catdir($Config{archlibexp}, 'CORE');
    $args{INC} = join ' ', grep { length } qq{-isystem "$core"}, $args{INC} // '';
    $args{CC} = $cxx;
    $args{LD} = $cxx;
    $args{CCFLAGS} = join ' ', $Config{ccflags}, @flags;
    return %args;
}

1;
