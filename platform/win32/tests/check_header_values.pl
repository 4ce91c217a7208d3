#!/usr/bin/perl
# Compares every constant the layer's headers define with the value the
# mingw-w64 headers give the same name, as the compilers see them: each name
# is expanded by the preprocessor and, where it is a constant expression,
# evaluated by the compiler into a data section that is read back. Names
# mingw-w64 lacks must be in the allow-list below, with the reason.
#
#   check_header_values.pl <layer include folder> <host C compiler>
#
# Exit 0 when all agree, 1 on a mismatch, 77 (skipped) without a mingw-w64
# compiler.
use strict;
use warnings;
use File::Temp qw(tempdir);

my ($include, $hostcc) = @ARGV;
die "usage: $0 <include folder> <host C compiler>\n" unless $include && $hostcc;

# Names mingw-w64 does not define, and why the layer does.
my %mingw_lacks = (
    W32P_NORETURN => 'the layer\'s own attribute macro for ExitThread',
);

my @mingw = grep { have($_) } ('x86_64-w64-mingw32-gcc', 'i686-w64-mingw32-gcc');
if (!@mingw) {
    print "skipped: no mingw-w64 C compiler\n";
    exit 77;
}

# Object-like macros with a body, in the order the headers define them.
my (@names, %seen);
for my $h (sort glob "$include/*.h") {
    open my $fh, '<', $h or die "$h: $!";
    while (<$fh>) {
        next unless /^\s*#\s*define\s+([A-Za-z_]\w*)(\(?)\s*(.*?)\s*$/;
        my ($name, $paren, $body) = ($1, $2, $3);
        $body =~ s{\s*//.*$}{};
        next if $paren || $body eq '' || $seen{$name}++;
        push @names, $name;
    }
}

my $dir = tempdir(CLEANUP => 1);

# What a source includes: ours pulls in everything; mingw-w64's needs only
# its lean set and the service header (much less to compile).
sub prelude {
    my ($cc) = @_;
    return "#include <windows.h>\n" if $cc eq $hostcc;
    return "#define WIN32_LEAN_AND_MEAN\n#include <windows.h>\n#include <winsvc.h>\n";
}

# The full expansion of every name, or undef where the name stays a name.
sub expand {
    my ($cc, @flags) = @_;
    my $src = "$dir/expand.c";
    open my $fh, '>', $src or die;
    print $fh prelude($cc);
    print $fh "\"\@\@$_\@\@\" $_\n" for @names;
    close $fh;
    my $out = `$cc @flags -E -P $src 2>&1`;
    die "$cc -E failed:\n$out" if $?;
    my %exp;
    while ($out =~ /^"\@\@(\w+)\@\@" (.*)$/mg) {
        my ($name, $text) = ($1, $2);
        $exp{$name} = $text eq $name ? undef : $text;
    }
    return \%exp;
}

# The 32-bit values of the names that are constant expressions for this
# compiler: strings and initialisers are left to the text comparison, and a
# name that does not compile is left out and retried without it.
sub evaluate {
    my ($cc, $objcopy, $exp, @flags) = @_;
    my @todo = grep { defined $exp->{$_} && $exp->{$_} !~ /^\s*(?:"|L"|\{)/ } @names;
    for (1 .. 20) {
        my $src = "$dir/values.c";
        open my $fh, '>', $src or die;
        my $prelude = prelude($cc) . "#include <stdint.h>\n";
        print $fh $prelude;
        print $fh "__attribute__((section(\".w32vals\"), used))\n";
        print $fh "const uint32_t w32vals[] = {\n";
        my $first = 3 + ($prelude =~ tr/\n//);    # line of the first value
        print $fh "(uint32_t)(uintptr_t)($_),\n" for @todo;
        print $fh "sizeof(void*)};\n";
        close $fh;
        my $out = `$cc @flags -c -o $dir/values.o $src 2>&1`;
        if ($?) {
            my %bad;
            # The value lines named by errors, directly or through a macro.
            $bad{$1 - $first} = 1
                while $out =~ /values\.c:(\d+):\d+: (?:error|note: in expansion of macro)/g;
            die "$cc failed without naming a line:\n$out" unless %bad;
            @todo = map { $todo[$_] } grep { !$bad{$_} } 0 .. $#todo;
            next;
        }
        system($objcopy, '-O', 'binary', '--only-section=.w32vals', "$dir/values.o",
               "$dir/values.bin") == 0 or die "$objcopy failed\n";
        open my $bin, '<:raw', "$dir/values.bin" or die;
        local $/;
        my @v = unpack('V*', <$bin> // '');
        my %val;
        @val{@todo, '(pointer size)'} = @v;
        return \%val;
    }
    die "$cc: too many rounds of errors\n";
}

sub have {
    my ($prog) = @_;
    return grep { -x "$_/$prog" } split /:/, $ENV{PATH} // '';
}

sub normal {
    my ($text) = @_;
    $text =~ s/[\s(){}]//g;
    return $text;
}

my $ours = expand($hostcc, "-I$include");
my $ourVals = evaluate($hostcc, 'objcopy', $ours, "-I$include");
my $failures = 0;
for my $cc (@mingw) {
    (my $objcopy = $cc) =~ s/gcc$/objcopy/;
    my $theirs = expand($cc);
    my %both = map { $_ => $theirs->{$_} } grep { defined $ours->{$_} } keys %$theirs;
    my $theirVals = evaluate($cc, $objcopy, \%both);
    my ($numbers, $texts) = (0, 0);
    # A size of a structure with pointers differs between 32 and 64 bits: on
    # the other width such a name is compared as text.
    my $bySize = sub {
        $ours->{$_[0]} =~ /\bsizeof\b/
            && $ourVals->{'(pointer size)'} != $theirVals->{'(pointer size)'};
    };
    for my $name (@names) {
        next unless defined $ours->{$name};
        if (!defined $theirs->{$name}) {
            next if $mingw_lacks{$name};
            print "$cc: $name is not in mingw-w64's headers and not in the allow-list\n";
            $failures++;
        } elsif (defined $ourVals->{$name} && defined $theirVals->{$name} && !$bySize->($name)) {
            $numbers++;
            next if $ourVals->{$name} == $theirVals->{$name};
            printf "%s: %s is %u here, %u in mingw-w64\n", $cc, $name, $ourVals->{$name},
                $theirVals->{$name};
            $failures++;
        } else {
            $texts++;
            next if normal($ours->{$name}) eq normal($theirs->{$name});
            print "$cc: $name is '$ours->{$name}' here, '$theirs->{$name}' in mingw-w64\n";
            $failures++;
        }
    }
    for my $name (sort keys %mingw_lacks) {
        next unless defined $theirs->{$name};
        print "$cc: $name is in mingw-w64 now: take it off the allow-list\n";
        $failures++;
    }
    print "$cc: $numbers values and $texts texts compared\n";
}
exit($failures ? 1 : 0);
