# get_config(): quillet's configuration objects, per server and per vector.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use Scalar::Util qw(refaddr);
use Zephra2::Module;

my @calls;
{
    package Cfg::Made;
    sub SERVER_CREATE { my ($class) = @_; push @calls, "server $class"; bless { kind => 'server' }, $class }
    sub DIR_CREATE    { my ($class) = @_; push @calls, "dir $class";    bless { kind => 'dir' },    $class }

    package Cfg::Child;
    our @ISA = ('Cfg::Made');

    package Cfg::Dies;
    our $die = 1;
    sub SERVER_CREATE { die "no config today\n" if $die; bless {}, shift }
}
Zephra2::Module::add($_, []) for qw(Cfg::Made Cfg::Child Cfg::Plain Cfg::Dies Cfg::Alias);

my $s = Zephra2::ServerUtil->server;
isa_ok($s, 'Zephra2::ServerRec');
my $v = $s->module_config;
isa_ok($v, 'Zephra2::ConfVector');

sub get { Zephra2::Module::get_config(@_) }

subtest 'per server (two arguments)' => sub {
    my $c = get('Cfg::Made', $s);
    is_deeply(\@calls, ['server Cfg::Made'], 'SERVER_CREATE called with the package name');
    is(ref $c, 'Cfg::Made', 'its object');
    is($c->{kind}, 'server', 'made by SERVER_CREATE');
    $c->{seen} = 1;
    my $again = get('Cfg::Made', $s);
    is(refaddr($again), refaddr($c), 'the same object later');
    is($again->{seen}, 1, 'with its changes');
    is(scalar @calls, 1, 'made once');
};

subtest 'per vector (three arguments)' => sub {
    @calls = ();
    my $d = get('Cfg::Made', $s, $v);
    is_deeply(\@calls, ['dir Cfg::Made'], 'DIR_CREATE called with the package name');
    is($d->{kind}, 'dir', 'made by DIR_CREATE');
    is(refaddr(get('Cfg::Made', $s, $v)), refaddr($d), 'the same object later');
    isnt(refaddr($d), refaddr(get('Cfg::Made', $s)), 'apart from the server object');
    my $other = Zephra2::ConfVector->new;
    my $e = get('Cfg::Made', $s, $other);
    isnt(refaddr($e), refaddr($d), 'another vector, another object');
    is(refaddr(get('Cfg::Made', $s, $s->lookup_defaults)), refaddr(get('Cfg::Made', $s, $s->lookup_defaults)),
        'stable for each vector');
};

subtest 'defaults and inheritance' => sub {
    my $p = get('Cfg::Plain', $s);
    is(ref $p, 'Cfg::Plain', 'no SERVER_CREATE: blessed into the package');
    is_deeply({%$p}, {}, 'an empty hash');
    is(ref get('Cfg::Plain', $s, $v), 'Cfg::Plain', 'no DIR_CREATE: the same');
    @calls = ();
    get('Cfg::Child', $s);
    is_deeply(\@calls, ['server Cfg::Child'], 'an inherited SERVER_CREATE is used');
};

subtest 'the package as an object' => sub {
    my $c = get('Cfg::Made', $s);
    is(refaddr(get($c, $s)), refaddr($c), 'an object of the package names it');
    ok(!defined get('Never::Added', $s), 'a package never added: undef');
    ok(!defined get(bless({}, 'Never::Added'), $s), 'an object of such a package: undef');
    ok(!defined get(undef, $s), 'undef: undef');
    ok(!defined get('core.c', $s), 'a module not defined in Perl: undef');
};

subtest 'the very scalar quillet keeps' => sub {
    my $ref = \(Zephra2::Module::get_config('Cfg::Alias', $s));
    my $before = Internals::SvREFCNT($$ref);
    Zephra2::Module::get_config('Cfg::Alias', $s) for 1 .. 100;
    my @many = map { get('Cfg::Alias', $s) } 1 .. 10;
    @many = ();
    is(Internals::SvREFCNT($$ref), $before, 'no reference is left behind');
    $_ = 'replaced' for Zephra2::Module::get_config('Cfg::Alias', $s);
    is(get('Cfg::Alias', $s), 'replaced', 'writing through the result changes quillet\'s scalar');
};

subtest 'a dying SERVER_CREATE' => sub {
    eval { get('Cfg::Dies', $s) };
    is($@, "no config today\n", 'its error reaches the caller');
    $Cfg::Dies::die = 0;
    is(ref get('Cfg::Dies', $s), 'Cfg::Dies', 'nothing was kept; the next call makes it');
};

subtest 'removed modules' => sub {
    Zephra2::Module::remove_loaded_module(Zephra2::Module::find_linked_module('Cfg::Plain'));
    ok(!defined get('Cfg::Plain', $s), 'undef once the module is out of the list');
};

subtest 'wrong classes' => sub {
    {
        package My::Server;
        our @ISA = ('Zephra2::ServerRec');
    }
    my $derived = bless \(my $addr = $$s), 'My::Server';
    is(refaddr(get('Cfg::Made', $derived)), refaddr(get('Cfg::Made', $s)), 'a derived class is accepted');

    my $stype = 'Zephra2::Module::get_config: s is not of type Zephra2::ServerRec';
    my $vtype = 'Zephra2::Module::get_config: v is not of type Zephra2::ConfVector';
    my $line;
    for my $bad ('Zephra2::ServerRec', {}, $v, Zephra2::Module::top_module()) {
        $line = __LINE__ + 1;
        eval { Zephra2::Module::get_config('Cfg::Made', $bad) };
        is($@, "$stype at $0 line $line.\n", 's refused: ' . (ref($bad) || $bad));
    }
    for my $bad (undef, 'Zephra2::ConfVector', $s, []) {
        $line = __LINE__ + 1;
        eval { Zephra2::Module::get_config('Cfg::Made', $s, $bad) };
        is($@, "$vtype at $0 line $line.\n", 'v refused: ' . (ref($bad) || $bad // 'undef'));
    }
    $line = __LINE__ + 1;
    eval { Zephra2::Module::get_config('Cfg::Made', {}, {}) };
    is($@, "$stype at $0 line $line.\n", 's is checked before v');
};

done_testing;
