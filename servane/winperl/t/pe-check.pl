#!/usr/bin/perl
# Checks an extension's DLL from its PE headers (objdump -p): it exports
# exactly the package's two bootstrap names, at one address, and imports
# only the Perl DLL and system DLLs, no runtime DLL of the compiler that a
# user's Perl would lack.
#   perl pe-check.pl <objdump> <dll> <Perl::Package>
use strict;
use warnings;
use Test::More;

my ($objdump, $dll, $package) = @ARGV;
die "usage: $0 <objdump> <dll> <Perl::Package>\n" unless $package;
(my $boot = "boot_$package") =~ s/::/__/g;
ok(-f $dll, "$dll exists") or exit 1;

my @lines = `$objdump -p "$dll"`;
is($? >> 8, 0, "$objdump -p runs") or exit 1;

# "[   0] +base[   1] 82f0 Export RVA" lines, then "[   0] name" lines.
my (@rvas, @names, $section);
for (@lines) {
    $section = 'rva'  if /^Export Address Table -- Ordinal Base/;
    $section = 'name' if /^\[Ordinal\/Name Pointer\] Table/;
    $section = undef  if /^\s*$/ && $section && (@names || $section eq 'rva' && @rvas);
    next unless $section;
    push @rvas,  $1 if $section eq 'rva'  && /^\s*\[\s*\d+\] \+base\[\s*\d+\]\s+([0-9a-f]+) Export RVA/;
    push @names, $1 if $section eq 'name' && /^\s*\[\s*\d+\]\s+(\S+)\s*$/;
}
is_deeply([sort @names], ["_$boot", $boot], 'exports: the two boot names');
is(scalar(@rvas), 2, 'two export entries');
is($rvas[0], $rvas[1], 'both names denote one function');

my @imports = map { /DLL Name: (\S+)/ ? lc $1 : () } @lines;
is_deeply([sort @imports], [qw(advapi32.dll kernel32.dll msvcrt.dll perl536.dll user32.dll)],
    'imports: Perl and system DLLs only');

done_testing;
