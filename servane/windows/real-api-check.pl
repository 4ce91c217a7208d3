#!/usr/bin/perl
# Checks that the Windows layer's headers name nothing that the real Windows
# headers lack, apart from the layer's own plumbing (W32P_* macros and the
# tags of handle structs), and that the sources given use none of that
# plumbing either. Code written against <windows.h> then builds for Windows.
#
#   real-api-check.pl LAYER_INCLUDE_DIR REAL_INCLUDE_DIR SOURCE...
use strict;
use warnings;
use File::Temp;

my ($layer, $real, @sources) = @ARGV;
die "usage: $0 LAYER_INCLUDE_DIR REAL_INCLUDE_DIR SOURCE...\n" unless $real && -d $layer && -d $real;

sub slurp {
    my ($file) = @_;
    open my $fh, '<', $file or die "$file: $!\n";
    local $/;
    my $text = <$fh>;
    $text =~ s{/\*.*?\*/}{}gs;
    $text =~ s{//[^\n]*}{}g;
    return $text;
}

# Every name the layer's headers define or declare: macros, functions,
# typedef names, struct/union/enum tags and the names after a closing brace.
my %declared;
for my $header (glob "$layer/*.h") {
    my $text = slurp($header);
    $declared{$1} = $header while $text =~ /^\s*#\s*define\s+(\w+)/mg;
    $declared{$1} = $header while $text =~ /\b([A-Za-z_]\w*)\s*\(/g;
    $declared{$1} = $header while $text =~ /\}\s*(\w+)\s*[;,]/g;
    $declared{$1} = $header while $text =~ /typedef\b[^;]*?\b(\w+)\s*;/g;
    $declared{$1} = $header while $text =~ /\b(?:struct|union|enum)\s+(\w+)/g;
}
delete @declared{qw(if for while switch return sizeof defined extern typedef struct union enum
                    alignof decltype static_cast reinterpret_cast const_cast)};

# Which of those names occur as words anywhere in the real headers.
my %real;
my $list = File::Temp->new;
print $list "$_\n" for sort keys %declared;
close $list;
open my $words, '-|', 'grep', '-rhowF', '-f', $list->filename, '--include=*.h', $real
    or die "grep: $!\n";
while (<$words>) { chomp; $real{$_} = 1 }
close $words;
die "none of the names found in $real\n" unless %real;

my $plumbing = qr/^(?:W32P_\w+|\w+__)$/;
my @extra = grep { !$real{$_} } sort keys %declared;
my $failed = 0;
for my $name (grep { !/$plumbing/ } @extra) {
    print "not in the real headers: $name ($declared{$name})\n";
    $failed = 1;
}
my %extra = map { $_ => 1 } @extra;
for my $source (@sources) {
    my %seen;
    my $text = slurp($source);
    $seen{$1}++ while $text =~ /\b([A-Za-z_]\w*)\b/g;
    for my $name (grep { $extra{$_} } sort keys %seen) {
        print "$source uses $name, which the real headers lack\n";
        $failed = 1;
    }
}
print "checked ", scalar(keys %declared), " names of the layer's headers, ", scalar(@sources),
    " sources\n";
exit $failed;
