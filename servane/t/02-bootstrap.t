use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(run_perl);

# Functions the bootstrap registers (each function's glue adds to it).
my $registered = 24;

# Each case boots the library by hand in a fresh interpreter, with the
# package variables and bootstrap parameter the case needs, and prints what
# the bootstrap returned and how many functions it registered.
my $prelude = <<'PERL';
use strict; use warnings; use Config;
require DynaLoader;
my ($so) = grep { -f } map { "$_/auto/Win32/Servane/Servane.$Config{dlext}" } @INC;
my $lib = DynaLoader::dl_load_file($so, 0) or die DynaLoader::dl_error();
my $sym = DynaLoader::dl_find_symbol($lib, 'boot_Win32__Servane') or die 'no boot symbol';
my $boot = DynaLoader::dl_install_xsub('Win32::Servane::bootstrap', $sym, $so);
sub registered { no strict 'refs'; scalar grep { $_ ne 'bootstrap' && defined &{"Win32::Servane::$_"} } keys %Win32::Servane:: }
PERL

sub boot_case {
    my ($setup, $call) = @_;
    my ($status, $out, $err) = run_perl($prelude . $setup . <<"PERL");
my \@r = eval { $call };
print defined \$\@ && length \$\@ ? "ERR:\$\@" : "OK:\$r[0]:" . registered() . "\\n";
PERL
    diag($err) if $status;
    return $out;
}

like(boot_case('', q{$boot->('Win32::Servane', '20101014')}), qr/^OK:1:$registered$/,
    'bootstrap parameter equal to the version: true, functions registered');
like(boot_case('', q{$boot->('Win32::Servane', version->parse('20101014'))}), qr/^OK:1:$registered$/,
    'bootstrap parameter as a version object');
my $out = boot_case('', q{$boot->('Win32::Servane', '1.5')});
like($out, qr/^ERR:Win32::Servane object version 20101014 does not match bootstrap parameter 1\.5 at /,
    'mismatching bootstrap parameter');
like(boot_case('', q{eval { $boot->('Win32::Servane', '1.5') }; (1, registered())})
        , qr/^OK:1:0$/, 'nothing registered after a mismatch');

like(boot_case('', q{$boot->('Win32::Servane', 'version')}), qr/^ERR:Invalid version format/,
    'a plain string naming the version class is parsed, not taken as a version object');

like(boot_case(q{$Win32::Servane::VERSION = '20101014';}, q{$boot->('Win32::Servane')}),
    qr/^OK:1:$registered$/, 'VERSION variable equal');
like(boot_case(q{$Win32::Servane::VERSION = '2.0';}, q{$boot->('Win32::Servane')}),
    qr/^ERR:Win32::Servane object version 20101014 does not match \$Win32::Servane::VERSION 2\.0 at /,
    'VERSION variable differs');
like(boot_case(q{$Win32::Servane::VERSION = '2.0'; $Win32::Servane::XS_VERSION = '20101014';},
        q{$boot->('Win32::Servane')}),
    qr/^OK:1:$registered$/, 'XS_VERSION is preferred over VERSION');
like(boot_case(q{$Win32::Servane::VERSION = '20101014'; $Win32::Servane::XS_VERSION = '3';},
        q{$boot->('Win32::Servane')}),
    qr/^ERR:Win32::Servane object version 20101014 does not match \$Win32::Servane::XS_VERSION 3 at /,
    'a defined XS_VERSION is what is checked');
like(boot_case(q{$Win32::Servane::VERSION = '20101014'; our $x = $Win32::Servane::XS_VERSION = undef;},
        q{$boot->('Win32::Servane')}),
    qr/^OK:1:$registered$/, 'an undefined XS_VERSION falls back to VERSION');
like(boot_case('', q{$boot->('Win32::Servane')}), qr/^OK:1:$registered$/,
    'no version anywhere: no check');
like(boot_case(q{$My::Pkg::VERSION = '7';}, q{$boot->('My::Pkg')}),
    qr/^ERR:My::Pkg object version 20101014 does not match \$My::Pkg::VERSION 7 at /,
    'variables are looked up in the package named by the first argument');

subtest 'UNITCHECK blocks pending at boot run during the boot' => sub {
    my ($status, $out) = run_perl($prelude . <<'PERL');
our @order;
eval q{
    UNITCHECK { push @order, 'unitcheck' }
    BEGIN { $boot->('Win32::Servane'); push @order, 'booted' }
    1;
} or die $@;
print join(',', @order), "\n";
PERL
    is($status, 0, 'exits 0');
    is($out, "unitcheck,booted\n", 'the pending block ran inside the bootstrap');
};

subtest 'both boot names denote one function' => sub {
    my ($status, $out, $err) = run_perl($prelude . <<'PERL');
my $other = DynaLoader::dl_find_symbol($lib, '_boot_Win32__Servane') or die 'no _boot symbol';
print $other == $sym ? "same\n" : "different\n";
PERL
    diag($err) if $status;
    is($out, "same\n", '_boot_Win32__Servane is boot_Win32__Servane');
};

# On Windows the DLL's export table is checked on the build machine.
subtest 'only the bootstrap symbols are exported' => sub {
    plan skip_all => 'a shared object of the build machine only' if $^O eq 'MSWin32';
    my ($so) = grep { -f } map { "$_/auto/Win32/Servane/Servane.so" } ServaneTest::blib();
    plan skip_all => 'nm not available' unless $so && `which nm` ;
    my @syms = sort map { (split ' ')[2] } grep { / [TDBR] / } `nm -D --defined-only $so`;
    is_deeply(\@syms, [qw(_boot_Win32__Servane boot_Win32__Servane)], 'dynamic symbols');
};

done_testing;
