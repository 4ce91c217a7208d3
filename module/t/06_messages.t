# Every usage and type message, exactly, with the caller's position and no
# line feed of the library's own.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use Zephra2::Module;

my $core = Zephra2::Module::find_linked_module('core.c');
my $cmds = Zephra2::Module::cmds(Zephra2::Module::find_linked_module('mod_echo.c'));
my $s    = Zephra2::ServerUtil->server;

# Calls Zephra2::Module::<func> with the arguments from a string of Perl
# code in an eval of its own, so the position is that eval's line 1.
sub message_of {
    my ($func, $args) = @_;
    local $@;
    eval "Zephra2::Module::$func($args); 1" and return undef;
    return $@;
}

my %usage = (
    find_linked_module   => 'name',
    remove_loaded_module => 'mod',
    add                  => 'package, cmds',
    zp_api_major_version => 'mod',
    zp_api_minor_version => 'mod',
    get_config           => 'pmodule, s, v=NULL',
    loaded               => 'name',
    top_module           => '',
    module_index         => 'obj',
    name                 => 'obj',
    next                 => 'obj',
    cmds                 => 'obj',
);
my %wrong_counts = (
    find_linked_module   => [ '', q{'a', 'b'} ],
    remove_loaded_module => [ '', '$core, $core' ],
    add                  => [ q{'P'}, q{'P', [], 1} ],
    zp_api_major_version => [ '', '$core, 1' ],
    zp_api_minor_version => [ '', '$core, 1' ],
    get_config           => [ '', q{'P'}, q{'P', $s, undef, 1} ],
    loaded               => [ '', q{'a.c', 'b.c'} ],
    top_module           => [ '1', '1, 2' ],
    module_index         => [ '', '$core, 1' ],
    name                 => [ '', '$core, 1' ],
    next                 => [ '', '$core, 1' ],
    cmds                 => [ '', '$core, 1' ],
);

subtest 'argument counts' => sub {
    for my $f (sort keys %usage) {
        for my $args (@{ $wrong_counts{$f} }) {
            my $got = message_of($f, $args);
            like($got, qr/^\QUsage: Zephra2::Module::$f($usage{$f})\E at \(eval \d+\) line 1\.\n\z/,
                "$f($args)");
        }
    }
};

# The functions that take a module object, with the name of its parameter.
my %param = (
    remove_loaded_module => 'mod',
    zp_api_major_version => 'mod',
    zp_api_minor_version => 'mod',
    module_index         => 'obj',
    name                 => 'obj',
    next                 => 'obj',
    cmds                 => 'obj',
);

subtest 'object arguments of the wrong class' => sub {
    my @bad = ('undef', q{'Zephra2::Module'}, '\\1', '{}', '$cmds', '$s', q{bless {}, 'Other'});
    for my $f (sort keys %param) {
        for my $arg (@bad) {
            my $got = do { no warnings; message_of($f, $arg) };
            like($got,
                qr/^\QZephra2::Module::$f: $param{$f} is not of type Zephra2::Module\E at \(eval \d+\) line 1\.\n\z/,
                "$f($arg)");
        }
    }
};

# A wrapper of the right class whose address is 0 holds no record: refused
# like a wrong class, never dereferenced.
subtest 'objects that hold no record' => sub {
    our $null_module = bless \(my $x = 0), 'Zephra2::Module';
    our $null_string = bless \(my $y = '0'), 'Zephra2::Module';
    for my $f (sort keys %param) {
        for my $arg ('$main::null_module', '$main::null_string') {
            like(message_of($f, $arg),
                qr/^\QZephra2::Module::$f: $param{$f} is not of type Zephra2::Module\E at \(eval \d+\) line 1\.\n\z/,
                "$f($arg)");
        }
    }
    our $null_server = bless \(my $z = 0), 'Zephra2::ServerRec';
    our $null_vector = bless \(my $w = 0), 'Zephra2::ConfVector';
    like(message_of('get_config', q{'P', $main::null_server}),
        qr/^\QZephra2::Module::get_config: s is not of type Zephra2::ServerRec\E at /, 'get_config(s = 0)');
    like(message_of('get_config', q{'P', $s, $main::null_vector}),
        qr/^\QZephra2::Module::get_config: v is not of type Zephra2::ConfVector\E at /, 'get_config(v = 0)');
};

subtest 'nothing is done before the count is checked' => sub {
    my @before;
    for (my $m = Zephra2::Module::top_module(); $m; $m = $m->next) { push @before, $$m }
    message_of('remove_loaded_module', '$core, 1');
    message_of('add', q{'Counted::Out'});
    my @after;
    for (my $m = Zephra2::Module::top_module(); $m; $m = $m->next) { push @after, $$m }
    is_deeply(\@after, \@before, 'the list is unchanged');
};

done_testing;
