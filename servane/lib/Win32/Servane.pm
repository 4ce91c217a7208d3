package Win32::Servane;

use strict;
use warnings;

our $VERSION = '20101014';

require Exporter;
require XSLoader;
our @ISA = qw(Exporter);

# The named constants, exported by default as constant subroutines whose
# values come from the library's own table.
our @EXPORT = qw(
  SERVICE_NOT_READY SERVICE_STOPPED SERVICE_START_PENDING SERVICE_STOP_PENDING
  SERVICE_RUNNING SERVICE_CONTINUE_PENDING SERVICE_PAUSE_PENDING SERVICE_PAUSED

  SERVICE_CONTROL_NONE SERVICE_CONTROL_STOP SERVICE_CONTROL_PAUSE
  SERVICE_CONTROL_CONTINUE SERVICE_CONTROL_INTERROGATE SERVICE_CONTROL_SHUTDOWN
  SERVICE_CONTROL_PARAMCHANGE SERVICE_CONTROL_NETBINDADD
  SERVICE_CONTROL_NETBINDREMOVE SERVICE_CONTROL_NETBINDENABLE
  SERVICE_CONTROL_NETBINDDISABLE SERVICE_CONTROL_DEVICEEVENT
  SERVICE_CONTROL_HARDWAREPROFILECHANGE SERVICE_CONTROL_POWEREVENT
  SERVICE_CONTROL_SESSIONCHANGE SERVICE_CONTROL_START SERVICE_CONTROL_TIMER
  SERVICE_CONTROL_USER_DEFINED SERVICE_CONTROL_RUNNING

  USER_SERVICE_BITS_1 USER_SERVICE_BITS_2 USER_SERVICE_BITS_3
  USER_SERVICE_BITS_4 USER_SERVICE_BITS_5 USER_SERVICE_BITS_6
  USER_SERVICE_BITS_7 USER_SERVICE_BITS_8 USER_SERVICE_BITS_9
  USER_SERVICE_BITS_10

  SERVICE_KERNEL_DRIVER SERVICE_FILE_SYSTEM_DRIVER SERVICE_WIN32_OWN_PROCESS
  SERVICE_WIN32_SHARE_PROCESS SERVICE_INTERACTIVE_PROCESS

  SERVICE_ACCEPT_STOP SERVICE_ACCEPT_PAUSE_CONTINUE SERVICE_ACCEPT_SHUTDOWN
  SERVICE_ACCEPT_PARAMCHANGE SERVICE_ACCEPT_NETBINDCHANGE
  SERVICE_ACCEPT_HARDWAREPROFILECHANGE SERVICE_ACCEPT_POWEREVENT
  SERVICE_ACCEPT_SESSIONCHANGE

  SERVICE_BOOT_START SERVICE_SYSTEM_START SERVICE_AUTO_START
  SERVICE_DEMAND_START SERVICE_DISABLED
  SERVICE_ERROR_NORMAL SERVICE_ERROR_SEVERE SERVICE_ERROR_CRITICAL

  SC_GROUP_IDENTIFIER NO_ERROR
);
our %EXPORT_TAGS = (all => [@EXPORT]);

XSLoader::load(__PACKAGE__, $VERSION);

{
    my %value;
    for my $name (@EXPORT) {
        my $v;
        Constant($name, $v) or die "Win32::Servane: no constant $name in the library\n";
        $value{$name} = $v;
    }
    require constant;
    constant->import(\%value);
}

1;

__END__

=head1 NAME

Win32::Servane - run a Perl script as a Windows service, and administer services

=head1 SYNOPSIS

  use Win32::Servane;

  print Win32::Servane::GetVersion(), "\n";      # 20080324
  print SERVICE_RUNNING, "\n";                     # 4

  my $value;
  my $kind = Win32::Servane::Constant('SERVICE_STOPPED', $value);

=head1 DESCRIPTION

C<Win32::Servane> lets a Perl script run as a Windows service, driven either by
polling its state or through callbacks, and lets any script create,
reconfigure, query, secure and delete services.

All functions live in the package C<Win32::Servane> and are called with their
full names. Every function returns one value. Integer results are 32-bit
values as a 32-bit Perl holds them: values of 0x80000000 and above arrive as
negative numbers (C<SERVICE_CONTROL_NONE> is -1).

=head1 CONSTANTS

C<use Win32::Servane;> exports these names as constant subroutines (also
available with the tag C<:all>). Their values come from the library's own
table, so they are integers, except C<SC_GROUP_IDENTIFIER>, which is the text
C<+>.

=over 4

=item Service states

SERVICE_NOT_READY (0, the library's own: the service has reported no state
yet), SERVICE_STOPPED (1), SERVICE_START_PENDING (2), SERVICE_STOP_PENDING (3),
SERVICE_RUNNING (4), SERVICE_CONTINUE_PENDING (5), SERVICE_PAUSE_PENDING (6),
SERVICE_PAUSED (7).

=item Control and event codes

SERVICE_CONTROL_NONE (-1, no control received), SERVICE_CONTROL_STOP (1) to
SERVICE_CONTROL_SESSIONCHANGE (14), and the library's own event codes
SERVICE_CONTROL_START (0x1010), SERVICE_CONTROL_TIMER (0x1020),
SERVICE_CONTROL_USER_DEFINED (0x1030) and SERVICE_CONTROL_RUNNING (0x1040).

=item Service bits

USER_SERVICE_BITS_1 (0x4000) to USER_SERVICE_BITS_10 (0x20000000); together
0x3FC0C000.

=item Service types, accepted controls, start types, error control

SERVICE_KERNEL_DRIVER, SERVICE_FILE_SYSTEM_DRIVER, SERVICE_WIN32_OWN_PROCESS,
SERVICE_WIN32_SHARE_PROCESS, SERVICE_INTERACTIVE_PROCESS; SERVICE_ACCEPT_STOP
to SERVICE_ACCEPT_SESSIONCHANGE; SERVICE_BOOT_START, SERVICE_SYSTEM_START,
SERVICE_AUTO_START, SERVICE_DEMAND_START, SERVICE_DISABLED;
SERVICE_ERROR_NORMAL, SERVICE_ERROR_SEVERE, SERVICE_ERROR_CRITICAL.

=item Other

SC_GROUP_IDENTIFIER (the text C<+>, the prefix that marks a group in a
dependency list) and NO_ERROR (0).

=back

=head1 FUNCTIONS

=head2 Constant($Name, $Buffer)

Looks a constant up by name. The first character must match exactly; the
rest is compared without regard to case, so C<Service_running> is found but
C<service_running> is not. Sets C<$Buffer> to the value (an integer, or the
text for a text constant) and returns the kind: 3 for a number, 2 for a text,
0 when the name is unknown (C<$Buffer> is then left as it was).

=head2 GetVersion()

Returns the library's version string, C<20080324>.

=head2 GetLastError()

Returns the Windows error code of the last failed service-administration call
(0 until one fails). A successful call does not clear it.

=head2 IsDebugBuild()

Returns 0: the library is a release build and keeps no debug log.

=head2 DebugOutputPath([$Path])

Accepts a path and ignores it; returns the empty string.

=head1 SERVICE ADMINISTRATION

These functions install, change, read and remove services and their security
descriptors, on the local computer or on the one a C<machine> value names.
They return 1 (or a value) on success and 0 (or undef) on failure; after a
failure, C<GetLastError()> tells the Windows error of the step that failed:
locking the service database (for example 1055, the database is locked by
another process), opening the service (1060, it does not exist), creating it
(1073, it exists already) and so on. When the service control manager cannot
be reached at all, or the argument is not what the function takes, the
result is 0 and C<GetLastError()> keeps its previous value.

=head2 The service-information hash

C<CreateService>, C<ConfigureService> and C<QueryServiceConfig> take a
reference to a hash with these keys (others are ignored):

=over 4

=item machine

The computer whose service control manager is used; "" or absent for the
local one.

=item name

The service's key name.

=item display

Its display name.

=item user, password

The account the service runs under and its password. For C<CreateService>,
"" or C<localsystem> in any case means the LocalSystem account, and the
password is then dropped; C<ConfigureService> passes the name unchanged.

=item path, parameters

The executable and its arguments. A path that contains a blank is put in
double quotes (unless it already starts with one; C<ConfigureService> also
leaves a path that starts with a backslash, a UNC path), then the
parameters follow after one blank, unquoted. C<QueryServiceConfig> returns
the whole stored command line under C<path> and never writes C<parameters>.

=item description

The text of the service's "Description" registry value.

=item dependencies

A reference to an array of the services and groups (a group's name starts
with C<SC_GROUP_IDENTIFIER>) that must start first. C<ConfigureService> also
takes a string, used as the list itself: "" removes all dependencies.
C<QueryServiceConfig> always writes an array reference. Elements the array
does not hold (holes of a sparse array) are left out; an element that is ""
ends the list where it stands.

=item service_type, start_type, error_control

Numbers (use the constants). C<CreateService> defaults them to
SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START and SERVICE_ERROR_IGNORE;
C<ConfigureService> leaves an absent one unchanged.

=item load_order

The load-order group, written by C<QueryServiceConfig> when the service has
one; not read.

=item tag_id

When present, C<ConfigureService> asks the manager for a tag; its value is
not changed.

=back

A key counts when the hash has it, whatever its value: an undef value reads
as "" or 0, never as the default. Strings of any length are taken whole.

=head2 CreateService(\%ServiceInfo)

Installs a service described by the hash (C<name> and C<path> at least) and
writes its description (an empty one when C<description> is absent). Returns
1 when the service was created.

=head2 ConfigureService(\%ServiceInfo)

Changes the service named by C<name>: every key present is changed, every
key absent is left as it is. A C<description> is written after a successful
change. Returns 1 when the change succeeded.

=head2 QueryServiceConfig(\%ServiceInfo)

Empties the hash, keeping only what its C<name> and C<machine> said, and
fills it with the service's configuration: C<service_type>, C<start_type>,
C<error_control>, C<path>, C<display>, C<user>, C<load_order> (when set),
C<dependencies>, C<name>, C<machine> and, when the service has a text
description, C<description>. Returns 1 on success; after a failure the hash
is left empty.

=head2 DeleteService([$Machine,] $ServiceName)

Marks the service for deletion; the manager removes it once it has stopped
and its handles are closed. Returns 1 on success.

=head2 GetSecurity($Machine, $ServiceName)

Returns the service's security descriptor (owner, group, DACL and SACL) as a
byte string in the self-relative format, or undef. Reading the SACL needs
SeSecurityPrivilege, which the function enables in the process token.

=head2 SetSecurity($Machine, $ServiceName, $Descriptor)

Replaces the service's DACL and SACL with those of C<$Descriptor>, which is
one of: an object of C<Win32::Acloria> (the package name in any case), whose
method C<GetSD> returns the address of its descriptor; an integer that is the
address of a descriptor in this process; or the bytes that C<GetSecurity>
returns. Addresses are read only through memory checks, so a number that is
no address gives 0 rather than a crash. A list the descriptor lacks is
removed from the service. Returns 1 on success.

=head2 Example: install and remove a service

  use Win32::Servane;

  my %service = (
      name        => 'PerlEcho',
      display     => 'Perl echo service',
      path        => $^X,
      parameters  => 'C:\\Services\\echo.pl',
      start_type  => SERVICE_DEMAND_START,
      description => 'Echoes what it is told',
      dependencies => ['Tcpip'],
  );
  Win32::Servane::CreateService(\%service)
      or die 'CreateService: error ', Win32::Servane::GetLastError(), "\n";

  my %read = (name => 'PerlEcho');
  Win32::Servane::QueryServiceConfig(\%read) or die;
  print "$read{display}: $read{path}\n";

  Win32::Servane::ConfigureService({ name => 'PerlEcho', start_type => SERVICE_DISABLED });
  my $sd = Win32::Servane::GetSecurity('', 'PerlEcho');
  Win32::Servane::SetSecurity('', 'PerlEcho', $sd) if defined $sd;

  Win32::Servane::DeleteService('PerlEcho')
      or die 'DeleteService: error ', Win32::Servane::GetLastError(), "\n";

=head1 ERRORS

A call with the wrong number of arguments dies with a usage message, for
example C<Usage: Win32::Servane::GetVersion()>.

=cut
