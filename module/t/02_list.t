# Walking the server's module list and reading module records.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use File::Temp qw(tempdir);
use File::Basename qw(dirname);
use Zephra2::Module;

my @walk;
for (my $m = Zephra2::Module::top_module(); defined $m; $m = Zephra2::Module::next($m)) {
    push @walk, $m;
    last if @walk > 1000;    # a cycle would never end
}

subtest 'walking the default list' => sub {
    is(scalar @walk, 4, 'four modules');
    isa_ok($_, 'Zephra2::Module') for @walk;
    my %seen;
    $seen{$$_}++ for @walk;
    is(scalar keys %seen, 4, 'each record once');
    is_deeply([map { $_->name } @walk], [qw(mod_echo.c quillet.c mod_so.c core.c)],
        'names, most recently added first');
    ok(!defined Zephra2::Module::next($walk[-1]), 'next after the last is undef');
    my %index;
    $index{ $_->module_index }++ for @walk;
    is(scalar keys %index, 4, 'distinct module indexes');
    my @major = map { Zephra2::Module::zp_api_major_version($_) } @walk;
    my @minor = map { Zephra2::Module::zp_api_minor_version($_) } @walk;
    ok($major[0] > 0, 'API major version is set');
    is_deeply(\@major, [($major[0]) x 4], 'all modules share the API major version');
    is_deeply(\@minor, [($minor[0]) x 4], 'and the minor version');
};

subtest 'every call reads afresh' => sub {
    my $a = Zephra2::Module::top_module();
    my $b = Zephra2::Module::top_module();
    isnt($a, $b, 'a new object per call');
    is($$a, $$b, 'for the same record');
};

subtest 'lookups by name' => sub {
    for my $m (@walk) {
        my $found = Zephra2::Module::find_linked_module($m->name);
        isa_ok($found, 'Zephra2::Module');
        is($$found, $$m, $m->name . ' found');
    }
    ok(!defined Zephra2::Module::find_linked_module($_), "'$_' is not found")
        for ('nosuch.c', 'core', 'core.c ', '', 'CORE.C');
    my $undef_name = do { no warnings; Zephra2::Module::find_linked_module(undef) };
    ok(!defined $undef_name, 'undef looks up the empty name');
};

subtest 'command tables' => sub {
    my $echo = Zephra2::Module::find_linked_module('mod_echo.c');
    my $cmds = Zephra2::Module::cmds($echo);
    isa_ok($cmds, 'Zephra2::Command');
    is_deeply([ $cmds->names ], [qw(ProtocolEcho EchoGreeting)], 'directive names');
    ok(!defined Zephra2::Module::cmds(Zephra2::Module::find_linked_module('core.c')),
        'no table gives undef');
};

subtest 'objects as arguments' => sub {
    my $core = Zephra2::Module::find_linked_module('core.c');
    {
        package My::Module;
        our @ISA = ('Zephra2::Module');
    }
    my $derived = bless \(my $addr = $$core), 'My::Module';
    is(Zephra2::Module::name($derived), 'core.c', 'a derived class is accepted');
    my $string = bless \(my $text = "$$core"), 'Zephra2::Module';
    is(Zephra2::Module::name($string), 'core.c', 'an address held as a string is converted');
    is($core->name, 'core.c', 'method call form');
    {
        package Tied::Addr;
        sub TIESCALAR { my ($c, $v) = @_; bless \$v, $c }
        sub FETCH     { ${ $_[0] } }
    }
    tie my $magic, 'Tied::Addr', $$core;
    my $via_magic = bless \$magic, 'Zephra2::Module';
    is(Zephra2::Module::name($via_magic), 'core.c', 'the address is read with get-magic');
};

# Lists from module list files: run a script in another host.
my $bin  = dirname($^X);
my $lib  = $ENV{BUILD_DIR} ? "$ENV{BUILD_DIR}/lib" : "$bin/../lib";
my $dir  = tempdir(CLEANUP => 1);
(my $blib = $INC{'Zephra2/Module.pm'}) =~ s{/Zephra2/Module\.pm\z}{};
sub host_with {
    my ($config, $code) = @_;
    open my $c, '>', "$dir/modules.conf" or die $!;
    print $c $config;
    close $c;
    open my $s, '>', "$dir/script.pl" or die $!;
    print $s "use strict; use warnings; use Zephra2::Module;\n$code";
    close $s;
    my $out = qx{"$^X" -f "$dir/modules.conf" "-I$blib" "$dir/script.pl" 2>&1};
    return ($? >> 8, $out);
}

subtest 'empty list' => sub {
    my ($status, $out) = host_with("# nothing\n\n",
        q{print defined Zephra2::Module::top_module() ? "first\n" : "undef\n";});
    is($status, 0, 'runs');
    is($out, "undef\n", 'top_module is undef');
};

subtest 'a record without a name, and an older minor version' => sub {
    my ($status, $out) = host_with(<<"EOF", <<'EOF2');
Module core.c
LoadModule mod_anon.c $lib/mod_anon.so
EOF
my $m = Zephra2::Module::top_module();
print defined $m->name ? "named\n" : "unnamed\n";
print $m->zp_api_minor_version, "\n";
print Zephra2::Module::next($m)->name, "\n";
EOF2
    is($status, 0, 'runs') or diag $out;
    is($out, "unnamed\n3\ncore.c\n", 'name is undef; minor version read');
};

done_testing;
