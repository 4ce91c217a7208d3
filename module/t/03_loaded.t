# loaded(): server modules by ".c"/".so" names, Perl packages by name.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use Zephra2::Module;

sub loaded { Zephra2::Module::loaded($_[0]) }

subtest 'server modules' => sub {
    my %cases = (
        'core.c'         => 1,    # built in
        'core.so'        => 0,    # built in, not from a shared object
        'mod_echo.c'     => 1,
        'mod_echo.so'    => 1,    # loaded from a shared object
        'mod_echo.sox'   => 0,    # only "so" exactly
        'mod_echo.s'     => 0,
        'mod_echo.cpp'   => 1,    # only the "c" is compared
        'mod_echo.c.old' => 1,
        'mod_echo.b.c'   => 0,    # looks up mod_echo.c, "b" is neither
        'mod_echo.'      => 0,
        'nosuch.c'       => 0,
        'nosuch.so'      => 0,
        '.c'             => 0,    # looks up ".c"
    );
    is(loaded($_), $cases{$_}, "loaded('$_')") for sort keys %cases;
};

subtest 'Perl packages' => sub {
    {
        package Defined::Here;
        sub hello { 1 }
    }
    ok(loaded('Zephra2::Module'), 'a required package');
    ok(loaded('Test::More'),      'another one');
    ok(loaded('Defined::Here'),   'a package defined in the script');
    is(loaded('No::Such::Package'), 0, 'an unknown package');
    is(loaded(''), 0, 'the empty name');
    my $mentioned = \%Only::Mentioned::;
    is(loaded('Only::Mentioned'), 0, 'a package with nothing in it');
};

subtest 'long names' => sub {
    my $long = 'm' x 300;
    is(loaded("$long.c"), 0, 'a long unknown name');
    Zephra2::Module::add("$long.c", []);
    is(loaded("$long.c"),  1, 'a long name that the server has');
    is(loaded("$long.so"), 0, 'not from a shared object');
    my $edge = 'e' x 253;
    Zephra2::Module::add("$edge.c", []);
    is(loaded("$edge.c"), 1, 'the longest name that fits the short buffer');
};

subtest 'the argument is read with get-magic, the result is a number' => sub {
    {
        package Tied::Name;
        sub TIESCALAR { bless [], shift }
        sub FETCH     { 'mod_echo.so' }
    }
    tie my $name, 'Tied::Name';
    is(loaded($name), 1, 'tied argument');
    my $r = loaded('core.c');
    ok(!ref $r, 'plain scalar');
};

done_testing;
