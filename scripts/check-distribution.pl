#!/usr/bin/perl
# Builds a Perl distribution of this tree the way its users do, against the
# layer and server stand-in as `cmake --install` installs them:
#
#   check-distribution.pl BUILD_DIR DIST_DIR [TEST_FILE_FOR_PROVE]
#
# stages `cmake --install BUILD_DIR` in a temporary folder, copies the files
# DIST_DIR/MANIFEST lists (and only those) into a clean folder, and there
# runs perl Makefile.PL, make, make test, prove -b on one test file, make
# install into a staging folder and make distcheck. TAP on standard output.
use strict;
use warnings;
use Cwd qw(abs_path);
use File::Copy qw(copy);
use File::Find;
use File::Path qw(make_path);
use File::Temp qw(tempdir);
use Test::More;

my ($build, $dist, $prove_file) = @ARGV;
die "usage: $0 BUILD_DIR DIST_DIR [TEST_FILE]\n" unless $build && $dist;
$build = abs_path($build);
$dist  = abs_path($dist);

my $tmp = tempdir('distcheck-XXXXXX', TMPDIR => 1, CLEANUP => 1);

# The users' environment: nothing of the CMake test run.
delete @ENV{qw(BUILD_DIR SOURCE_DIR PERL5LIB PERL_MM_OPT PERL_MB_OPT MAKEFLAGS MFLAGS)};

# Runs a command in a folder; returns (success, output).
sub run {
    my ($dir, @cmd) = @_;
    my $pid = open(my $fh, '-|') // die "fork: $!";
    if (!$pid) {
        chdir $dir or die "$dir: $!";
        open STDERR, '>&', \*STDOUT;
        exec @cmd or die "exec $cmd[0]: $!";
    }
    local $/;
    my $out = <$fh> // '';
    close $fh;
    return ($? == 0, $out);
}

sub step {
    my ($name, $dir, @cmd) = @_;
    my ($ok, $out) = run($dir, @cmd);
    ok($ok, $name) or diag $out;
    return ($ok, $out);
}

# The installed layer and stand-in, found as users find them.
my $prefix = '/opt/servane';
{
    local $ENV{DESTDIR} = "$tmp/stage";
    step('cmake --install', $tmp, 'cmake', '--install', $build, '--prefix', $prefix)
        or BAIL_OUT('nothing installed');
}
$ENV{PKG_CONFIG_PATH} = "$tmp/stage$prefix/lib/pkgconfig";

# A clean copy of what MANIFEST lists: a file it misses fails the build.
my $copy = "$tmp/dist";
open my $manifest, '<', "$dist/MANIFEST" or BAIL_OUT("$dist/MANIFEST: $!");
my @missing;
while (my $line = <$manifest>) {
    next if $line =~ /^\s*(#|$)/;
    my ($file) = split ' ', $line;
    my $to = "$copy/$file";
    make_path($to =~ s{/[^/]*$}{}r);
    copy("$dist/$file", $to) or push @missing, $file;
    chmod((stat "$dist/$file")[2] & 07777, $to) if -e $to;
}
is_deeply(\@missing, [], 'every file MANIFEST lists exists');

step('perl Makefile.PL', $copy, $^X, 'Makefile.PL', 'OPTIMIZE=-O0') or BAIL_OUT('no Makefile');
ok(-f "$copy/MYMETA.json", 'MYMETA.json written');
if (open my $meta, '<', "$copy/MYMETA.json") {
    local $/;
    my $text = <$meta>;
    like($text, qr/"name"\s*:\s*"[\w-]+"/, 'META data: name');
    like($text, qr/"version"\s*:\s*"[\d.]+"/, 'META data: version');
    like($text, qr/"test"\s*:\s*\{\s*"requires"/, 'META data: test prerequisites');
}
step('make', $copy, 'make', '-j2') or BAIL_OUT('build failed');
step('make test', $copy, 'make', 'test');
step("prove -b $prove_file", $copy, 'prove', '-b', $prove_file) if $prove_file;

my $inst = "$tmp/inst";
step('make install', $copy, 'make', 'install', "DESTDIR=$inst");
my @installed;
find(sub { push @installed, $File::Find::name if /\.(pm|so|dll)$/ }, $inst) if -d $inst;
find(sub {
         return unless /\.pm$/;
         my $rel = $File::Find::name =~ s{^\Q$copy\E/lib/}{}r;
         ok((grep { m{/\Q$rel\E$} } @installed), "installed: $rel");
     }, "$copy/lib");
my @libs = sort map { m{/auto/(.*)\.(?:so|dll)$} ? $1 : () } @installed;
ok(@libs >= 1, "installed: the extension libraries (@libs)");

# MANIFEST against the source folder: nothing missing, nothing left out.
my (undef, $check) = run($dist, $^X, '-MExtUtils::Manifest=fullcheck', '-e',
                         'my ($missing, $extra) = fullcheck(); exit(@$missing || @$extra ? 1 : 0)');
unlike($check, qr/^(Not in MANIFEST|No such file): /m, 'MANIFEST matches the source folder')
    or diag $check;

done_testing;
