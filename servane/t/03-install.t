use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);
use Config;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(build_dir);

# cmake --install puts the package and its library under the prefix where
# MakeMaker's INSTALL_BASE puts architecture modules: lib/perl5/<archname>.
my $cmake = `which cmake` =~ s/\s+$//r;
plan skip_all => 'cmake not found' unless $cmake;
plan skip_all => 'not a CMake build' unless build_dir() && -f build_dir() . '/CMakeCache.txt';
my $dest = tempdir(CLEANUP => 1);
my $log = `$cmake --install ${\ build_dir()} --prefix $dest 2>&1`;
is($?, 0, 'cmake --install succeeds') or diag $log;
my $arch = "$dest/lib/perl5/$Config{archname}";
ok(-f "$arch/Win32/Servane.pm", 'package file in the prefix\'s Perl folder');
ok(-f "$arch/auto/Win32/Servane/Servane.so", 'library under auto/');
my $out = `$^X -I$dest/lib/perl5 -MWin32::Servane -e 'print Win32::Servane::GetVersion(), ":", SERVICE_PAUSED'`;
is($out, '20080324:7', 'the installed module loads');
done_testing;
