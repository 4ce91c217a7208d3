#!/usr/bin/perl
# Prepares one extension of the perl source tree for a cross-built Windows
# perl, without MakeMaker: runs the extension's Makefile.PL with
# WriteMakefile replaced by a recorder (so that its constant tables and
# .PL-generated files are written as for Windows), turns its .xs files into
# C with xsubpp, and prints what the caller compiles and installs:
#
#   name <Module::Name>
#   cflags <flags>            defines and include paths for every C file
#   libs <flags>              libraries the extension links with
#   c <file.c>                a C file to compile (relative to the extension)
#   pm <file> <lib path>      a library file and where it goes under lib/
#
# Run from the extension's folder:
#   perl winperl-ext.pl <dir with the Windows Config.pm> <Dir-Name>
# where <Dir-Name> is the folder's name (Test-Simple, Time-HiRes, ...).
use strict;
use warnings;

my ($configdir, $dirname);
BEGIN {
    ($configdir, $dirname) = @ARGV;
    die "usage: $0 <Windows Config.pm folder> <extension folder name>\n" unless defined $dirname;
    # Only the Windows Config.pm (and Config_heavy.pl) comes from there; every
    # other module is the build machine's own.
    unshift @INC, $configdir;
    # The real MakeMaker (some Makefile.PLs use its helpers), loaded as the
    # build machine's; WriteMakefile only records its arguments.
    require ExtUtils::MakeMaker;
    no warnings qw(redefine once);
    *ExtUtils::MakeMaker::WriteMakefile = sub { %main::args = @_ };
    # The generators look at $^O as well as %Config: they must see Windows.
    $^O = 'MSWin32';
}
use Config;
our %args;
die "$0: Config.pm on \@INC is not the Windows one\n" unless $Config{osname} eq 'MSWin32';

$ENV{PERL_CORE} = 1;
if (-f 'Makefile.PL') {
    local @ARGV = ('PERL_CORE=1');
    local $0 = 'Makefile.PL';
    do './Makefile.PL';
    die "Makefile.PL of $dirname: $@" if $@;
}

(my $name = $args{NAME} // $dirname) =~ s/-/::/g;
my @parts   = split /::/, $name;
my $leaf    = pop @parts;
my $libdir  = join '/', @parts;     # where the top-level files of NAME go
my $inlib   = sub { join '/', grep { length } $libdir, $_[0] };

# Files made by .PL scripts (by default every *.PL but Makefile.PL, written
# to its name without .PL), run in a fresh perl that also sees Windows.
my $pl_files = $args{PL_FILES}
    // { map { $_ => s/\.PL\z//r } grep { $_ ne 'Makefile.PL' } glob '*.PL' };
for my $pl (sort keys %$pl_files) {
    my @targets = ref $pl_files->{$pl} ? @{ $pl_files->{$pl} } : $pl_files->{$pl};
    for my $target (@targets) {
        system($^X, "-I$configdir", '-e', 'BEGIN { $^O = q(MSWin32) } $0 = shift; do "./$0"; die $@ if $@',
               $pl, $target) == 0 or die "$dirname: $pl failed\n";
    }
}

# xsubpp runs in the build machine's own perl (its ExtUtils::ParseXS and
# default typemap), with the extension's typemap when it has one.
my $xs = $args{XS} // { map { $_ => s/\.xs\z/.c/r } glob '*.xs' };
$xs = { 'DynaLoader.xs' => 'DynaLoader.c' } if $name eq 'DynaLoader';
if ($name eq 'DynaLoader') {
    # The loader's source for Windows is the one Config names.
    open my $in,  '<', $Config{dlsrc} or die "$Config{dlsrc}: $!";
    open my $out, '>', 'DynaLoader.xs' or die "DynaLoader.xs: $!";
    print {$out} <$in>;
    close $out or die;
}
my @typemaps = grep { -f } @{ $args{TYPEMAPS} // [] }, 'typemap';
for my $file (sort keys %$xs) {
    my $c = $xs->{$file};
    my @cmd = ($^X, '-MExtUtils::ParseXS=process_file', '-e',
        'my ($in, $out, $proto, @tm) = @ARGV;
         process_file(filename => $in, output => $out, prototypes => $proto,
                      typemap => \@tm, die_on_error => 1)',
        $file, $c, ($args{XSPROTOARG} // '') =~ /-prototypes/ ? 1 : 0, @typemaps);
    local %ENV = %ENV;
    delete $ENV{PERL5LIB};
    system(@cmd) == 0 or do { unlink $c; die "$dirname: xsubpp $file failed\n" };
}

# C sources: the xsubpp outputs and, unless the extension names them, every
# other .c file of the folder.
my %generated = map { $_ => 1 } values %$xs;
my @c = (sort(values %$xs),
         sort grep { !$generated{$_} } @{ $args{C} // [glob '*.c'] });
@c = grep { $_ ne 'dlutils.c' } @c if $name eq 'DynaLoader';   # included by the .xs

my $version = $args{VERSION};
if (!defined $version) {
    my $from = $args{VERSION_FROM}
        // (grep { -f } "$leaf.pm", $inlib->("$leaf.pm"), 'lib/' . $inlib->("$leaf.pm"))[0];
    $version = $from ? parse_version($from) : undef;
}

my @cflags;
if (@c) {
    die "$dirname: no version found\n" unless defined $version;
    push @cflags, qq{-DVERSION=\\"$version\\"}, qq{-DXS_VERSION=\\"$version\\"};
    my $define = $args{DEFINE} // '';
    $define =~ s/\$\((\w+)\)/$Config{lc $1} \/\/ ''/ge;
    push @cflags, split ' ', $define;
    push @cflags, split ' ', ($args{INC} // '');
}

# Library files: top-level *.pm/*.pl go beside NAME, lib/ keeps its layout;
# an explicit PM map wins.
my %pm;
if ($args{PM}) {
    my %root = ('$(INST_LIBDIR)' => $libdir, '$(INST_ARCHLIBDIR)' => $libdir,
                '$(INST_LIB)' => '', '$(INST_ARCHLIB)' => '');
    while (my ($from, $to) = each %{ $args{PM} }) {
        $to =~ s{^(\$\(\w+\))/?}{ my $r = $root{$1} // die "$dirname: PM target $to\n"; length $r ? "$r/" : '' }e;
        $pm{$from} = $to;
    }
} else {
    $pm{$_} = $inlib->($_) for grep { !/^Makefile\.PL\z/ } glob '*.pm *.pl';
    if (-d 'lib') {
        require File::Find;
        File::Find::find({ no_chdir => 1, wanted => sub {
            return unless -f && /\.(pm|pl|pod)\z/;
            (my $rel = $File::Find::name) =~ s{^lib/}{};
            $pm{$File::Find::name} = $rel;
        } }, 'lib');
    }
}

print "name $name\n";
print "cflags @cflags\n";
my $libs = ref $args{LIBS} ? $args{LIBS}[0] : $args{LIBS};
print "libs $libs\n" if @c && $libs;
print "c $_\n" for @c;
print "pm $_ $pm{$_}\n" for sort keys %pm;

# The assignment to $VERSION in a module file, evaluated the way the module
# itself would.
sub parse_version {
    my ($file) = @_;
    open my $fh, '<', $file or die "$file: $!";
    my $in_pod = 0;
    while (my $line = <$fh>) {
        $in_pod = $line =~ /^=(?!cut)/ ? 1 : $line =~ /^=cut/ ? 0 : $in_pod;
        next if $in_pod || $line =~ /^\s*#/;
        next unless $line =~ /([\$*])(([\w:']*)\bVERSION)\b.*(?<![!><=])=(?![=>])/;
        my $value = eval "no strict; local $1$2; $line; \$$2";
        die "$file: VERSION line: $@" if $@;
        return "$value";
    }
    return undef;
}
