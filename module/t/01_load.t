# Loading: the package, the twelve functions, the bootstrap's version check,
# and a plain perl refusing the library by the name of a server symbol.
use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ZephraHost;
use File::Temp qw(tempdir);

BEGIN { use_ok('Zephra2::Module') }

is($Zephra2::Module::VERSION, '2.000004', 'package version');

my @functions = qw(find_linked_module remove_loaded_module add zp_api_major_version
    zp_api_minor_version get_config loaded top_module module_index name next cmds);
ok(defined &{"Zephra2::Module::$_"}, "$_ is registered") for @functions;

# Runs code in a fresh zephra-host ($^X is the host here); returns the exit
# status and everything printed.
my $dir = tempdir(CLEANUP => 1);
(my $blib = $INC{'Zephra2/Module.pm'}) =~ s{/Zephra2/Module\.pm\z}{};
my $n   = 0;
sub run_host {
    my ($code) = @_;
    my $file = "$dir/script" . ++$n . '.pl';
    open my $fh, '>', $file or die "$file: $!";
    print $fh $code;
    close $fh;
    my $out = qx{"$^X" "-I$blib" "$file" 2>&1};
    return ($?, $out);
}

# Each case sets package variables, then bootstraps without a version
# argument (as DynaLoader does) or with one (as XSLoader does with a version).
my $probe = q{
    print defined &Zephra2::Module::top_module ? "registered\n" : "not registered\n";
};
sub boot_case {
    my ($setup, $load) = @_;
    return run_host("$setup\nrequire XSLoader;\neval { $load; 1 } or print \"died: \$\@\";\n$probe");
}

my @ok_cases = (
    ['VERSION matches', q{$Zephra2::Module::VERSION = '2.000004';}, q{XSLoader::load('Zephra2::Module')}],
    ['no version at all', q{}, q{XSLoader::load('Zephra2::Module')}],
    ['XS_VERSION wins over VERSION', q{$Zephra2::Module::XS_VERSION = '2.000004'; $Zephra2::Module::VERSION = '7.1';},
        q{XSLoader::load('Zephra2::Module')}],
    ['undefined XS_VERSION falls back to VERSION',
        q{$Zephra2::Module::XS_VERSION = undef; $Zephra2::Module::VERSION = '2.000004';},
        q{XSLoader::load('Zephra2::Module')}],
    ['bootstrap parameter matches', q{$Zephra2::Module::VERSION = '1.0';},
        q{XSLoader::load('Zephra2::Module', '2.000004')}],
    ['dotted form of the same version', q{}, q{XSLoader::load('Zephra2::Module', 'v2.0.4')}],
    ['version object', q{require version;}, q{XSLoader::load('Zephra2::Module', version->parse('2.000004'))}],
);
for my $c (@ok_cases) {
    my ($status, $out) = boot_case($c->[1], $c->[2]);
    is($status, 0, "$c->[0]: exit status");
    is($out, "registered\n", "$c->[0]: loads") or diag $out;
}

my @bad_cases = (
    ['VERSION differs', q{$Zephra2::Module::VERSION = '1.5';}, q{XSLoader::load('Zephra2::Module')},
        'Zephra2::Module object version 2.000004 does not match $Zephra2::Module::VERSION 1.5'],
    ['XS_VERSION differs', q{$Zephra2::Module::XS_VERSION = '3.0'; $Zephra2::Module::VERSION = '2.000004';},
        q{XSLoader::load('Zephra2::Module')},
        'Zephra2::Module object version 2.000004 does not match $Zephra2::Module::XS_VERSION 3.0'],
    ['bootstrap parameter differs', q{$Zephra2::Module::VERSION = '2.000004';},
        q{XSLoader::load('Zephra2::Module', '2.5')},
        'Zephra2::Module object version 2.000004 does not match bootstrap parameter 2.5'],
);
for my $c (@bad_cases) {
    my ($status, $out) = boot_case($c->[1], $c->[2]);
    is($status, 0, "$c->[0]: no crash");
    like($out, qr/^died: \Q$c->[3]\E at \S+ line \d+\.\nnot registered\n\z/, "$c->[0]: message, nothing registered");
}

# A plain string "version" is not a version object: it is parsed (and
# refused) instead of being compared as one.
{
    my ($status, $out) = boot_case(q{}, q{XSLoader::load('Zephra2::Module', 'version')});
    is($status, 0, 'string "version": no crash');
    like($out, qr/^died: Invalid version format.*\nnot registered\n\z/s, 'string "version": refused');
}

# Outside the server the library does not load, and says which server
# symbol is missing.
SKIP: {
    my $perl = $ENV{PLAIN_PERL};
    skip 'PLAIN_PERL not set', 2 unless $perl;
    my $out = qx{"$perl" "-I$blib" -e "use Zephra2::Module; print qq(loaded\\n)" 2>&1};
    is($? & 127, 0, 'plain perl: no signal');
    like($out, qr/undefined symbol: (zp_\w+|quillet_\w+)/, 'plain perl: names the missing server symbol')
        or diag $out;
}

done_testing;
