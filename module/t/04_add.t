# add(): Perl-defined modules, their checks and messages; removing modules.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use Zephra2::Module;

sub find { Zephra2::Module::find_linked_module($_[0]) }

sub names_in_list {
    my @n;
    for (my $m = Zephra2::Module::top_module(); $m; $m = $m->next) { push @n, $m->name }
    return @n;
}

subtest 'adding a module' => sub {
    my @before = names_in_list();
    my @result = Zephra2::Module::add('My::Dir', [
        { name => 'MyDirective', func => sub { }, args_how => 'TAKE2', req_override => 128,
          errmsg => 'two words', cmd_data => 'data' },
        { name => 'MyFlag', args_how => 5 },
        { name => 'MyOther', func => 'My::Dir::other' },
    ]);
    is(scalar @result, 0, 'returns an empty list');
    is_deeply([ names_in_list() ], [ 'My::Dir', @before ], 'linked into the list');
    my $m = find('My::Dir');
    isa_ok($m, 'Zephra2::Module');
    is($m->name, 'My::Dir', 'named after the package');
    is($m->zp_api_major_version, find('core.c')->zp_api_major_version, 'server API version');
    my %index = map { ($_->module_index => 1) } map { find($_) } @before;
    ok(!$index{ $m->module_index }, 'a module index of its own');

    my $cmds = $m->cmds;
    isa_ok($cmds, 'Zephra2::Command');
    is_deeply([ $cmds->names ], [qw(MyDirective MyFlag MyOther)], 'directives in order');
    my @e = $cmds->entries;
    is_deeply([ map { [ @$_{qw(args_how req_override errmsg)} ] } @e ],
        [ [ 2, 128, 'two words' ], [ 5, 31, undef ], [ 1, 31, undef ] ],
        'args_how, req_override, errmsg and their defaults');

};

subtest 'an empty directive list' => sub {
    Zephra2::Module::add('My::Empty', []);
    my $m = find('My::Empty');
    ok($m, 'added');
    is_deeply([ $m->cmds->names ], [], 'an empty table');
};

subtest 'the command list must be an array reference' => sub {
    my $usage = 'Usage: Zephra2::Module::add(__PACKAGE__, [])';
    for my $bad ({}, 'list', undef, \'x', sub { }) {
        no warnings 'uninitialized';
        my $line = __LINE__ + 1;
        eval { Zephra2::Module::add('Not::Added', $bad) };
        is($@, "$usage at $0 line $line.\n", 'refused: ' . (ref($bad) || $bad // 'undef'));
    }
    ok(!find('Not::Added'), 'nothing added');
};

subtest 'errors of quillet' => sub {
    # quillet's own texts are tested with quillet; here, how they reach Perl.
    my @cases = (
        [ [ 'x' ],                              'cmds[0] is not a hash reference' ],
        [ [ { name => 'A', nmae => 'B' } ],     'cmds[0] has an unknown key "nmae"' ],
        [ [ { name => 'A' }, { name => 'A' } ], 'cmds[1]: directive A is defined twice' ],
    );
    for my $c (@cases) {
        my $line = __LINE__ + 1;
        eval { Zephra2::Module::add('Bad::One', $c->[0]) };
        is($@, "Zephra2::Module::add(Bad::One) failed : $c->[1] at $0 line $line.\n", $c->[1]);
        ok(!find('Bad::One'), 'nothing added');
    }
    my $line = __LINE__ + 1;
    eval { Zephra2::Module::add('My::Dir', []) };
    like($@, qr/^Zephra2::Module::add\(My::Dir\) failed : .*My::Dir.* at \Q$0\E line $line\.\n\z/,
        'adding a package twice');
    $line = __LINE__ + 1;
    eval { Zephra2::Module::add('core.c', []) };
    like($@, qr/^Zephra2::Module::add\(core\.c\) failed : /, 'a name the server already has');
};

subtest 'removing modules' => sub {
    my $m = find('My::Dir');
    my @result = Zephra2::Module::remove_loaded_module($m);
    is(scalar @result, 0, 'returns an empty list');
    ok(!find('My::Dir'), 'no longer found');
    ok(!grep({ $_ eq 'My::Dir' } names_in_list()), 'not in the list');
    is($m->name, 'My::Dir', 'the record itself stays readable');
    Zephra2::Module::remove_loaded_module($m);
    ok(!find('My::Dir'), 'removing twice changes nothing');

    my $so = find('mod_so.c');
    my @before = grep { $_ ne 'mod_so.c' } names_in_list();
    Zephra2::Module::remove_loaded_module($so);
    is_deeply([ names_in_list() ], \@before, 'a module from the middle of the list');
    is(Zephra2::Module::loaded('mod_so.c'), 0, 'loaded() sees it gone');

    Zephra2::Module::add('My::Dir', [ { name => 'Again' } ]);
    my $again = find('My::Dir');
    ok($again, 'a removed package can be added again');
    isnt($again->module_index, $m->module_index, 'as a new module');

    Zephra2::Module::remove_loaded_module(Zephra2::Module::top_module()) while Zephra2::Module::top_module();
    ok(!defined Zephra2::Module::top_module(), 'an empty list gives undef');
};

done_testing;
