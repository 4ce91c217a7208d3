use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
require Win32::Servane;

# What each import list brings into a package: the constants by default (as
# scripts have always relied on), the functions only when asked for.
my @functions = sort qw(Constant RegisterCallbacks StartService CallbackTimer StopService
    GetVersion CreateService DeleteService ConfigureService QueryServiceConfig SetServiceBits
    GetLastError State QueryLastMessage ShowService HideService RestoreService Timeout
    GetServiceHandle AcceptedControls SetSecurity GetSecurity DebugOutputPath IsDebugBuild);

my $n = 0;
sub imported {
    my @list = @_;
    my $pkg = 'Importer' . ++$n;
    eval "package $pkg; Win32::Servane->import(\@list); 1" or die $@;
    no strict 'refs';
    return [sort grep { defined &{"${pkg}::$_"} } keys %{"${pkg}::"}];
}
sub functions_in { my %f = map { $_ => 1 } @functions; [grep { $f{$_} } @{ $_[0] }] }
sub constants_in { [grep { /^(?:SERVICE_|USER_SERVICE_BITS_|SC_GROUP|NO_ERROR)/ } @{ $_[0] }] }

is(scalar @functions, 24, 'the package has its 24 functions');
is_deeply([sort @Win32::Servane::EXPORT_OK], \@functions, '@EXPORT_OK holds exactly them');

my $default = imported();
is(scalar @{ constants_in($default) }, 60, 'by default: the 60 constants');
is_deeply(functions_in($default), [], 'and no function');

is_deeply(imported(':constants'), $default, ':constants is the default set');

my $service = imported(':service');
is_deeply($service, [sort qw(StartService StopService RegisterCallbacks CallbackTimer State
    QueryLastMessage Timeout AcceptedControls GetServiceHandle SetServiceBits
    ShowService HideService RestoreService)], ':service');

my $admin = imported(':admin');
is_deeply($admin, [sort qw(CreateService ConfigureService QueryServiceConfig DeleteService
    GetSecurity SetSecurity GetLastError)], ':admin');

my $all = imported(':all');
is_deeply(functions_in($all), \@functions, ':all: every function');
is_deeply(constants_in($all), constants_in($default), ':all: and every constant');

is_deeply(imported(':DEFAULT', 'State'), [sort @$default, 'State'], 'the default set plus a name');
ok(!eval { imported('NoSuchThing'); 1 }, 'an unknown name is refused');

# Win32::Servane::Control exports nothing unless asked; :all is every
# function it defines.
{
    require Win32::Servane::Control;
    no strict 'refs';
    # (bootstrap is XSLoader's entry, not one of them)
    my @defined = sort grep { defined &{"Win32::Servane::Control::$_"} && $_ ne 'bootstrap' }
                  keys %Win32::Servane::Control::;
    is_deeply([sort @Win32::Servane::Control::EXPORT_OK], \@defined,
              'Control: @EXPORT_OK holds every function');
    is_deeply($Win32::Servane::Control::EXPORT_TAGS{all}, \@Win32::Servane::Control::EXPORT_OK,
              'Control: :all is all of them');
    is_deeply(\@Win32::Servane::Control::EXPORT, [], 'Control: nothing by default');
}

# An imported function is the package's own.
{
    no strict 'refs';
    eval "package Caller; Win32::Servane->import(':service'); 1" or die $@;
    is(\&Caller::State, \&Win32::Servane::State, 'the same subroutine');
}

done_testing;
