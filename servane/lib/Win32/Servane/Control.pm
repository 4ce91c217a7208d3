package Win32::Servane::Control;

use strict;
use warnings;

our $VERSION = '1.00';

require Exporter;
require XSLoader;
our @ISA = qw(Exporter);

# Nothing by default: the names are short and common.
our @EXPORT_OK = qw(
  start stop pause resume interrogate control
  status wait_for list dependents
  failure_actions set_failure_actions delayed_start set_delayed_start
  is_service last_error
);
our %EXPORT_TAGS = (all => [@EXPORT_OK]);

XSLoader::load(__PACKAGE__, $VERSION);

1;

__END__

=head1 NAME

Win32::Servane::Control - start, stop, query, list and wait for Windows services

=head1 SYNOPSIS

  use strict;
  use warnings;
  use Win32::Servane qw(:constants);
  use Win32::Servane::Control qw(start stop status wait_for list dependents
                                 set_failure_actions last_error);

  # Start a service and wait until it runs.
  start('PerlEcho', '--verbose') && wait_for('PerlEcho', SERVICE_RUNNING, 30)
      or die 'PerlEcho did not start: error ', last_error(), "\n";

  my $status = status('PerlEcho');
  print "PerlEcho runs as process $status->{process_id}\n";

  # Restart it 5 s after a crash, 60 s after the crashes that follow; a
  # day without one starts the count again.
  set_failure_actions('PerlEcho', { reset_period => 86400,
      actions => [ { type => 'restart', delay => 5000 },
                   { type => 'restart', delay => 60000 } ] })
      or die "cannot set the recovery: $^E\n";

  # Stop what depends on it first, then the service itself.
  my $dependents = dependents('PerlEcho') or die "no dependents: $^E\n";
  for my $service (@$dependents, { name => 'PerlEcho' }) {
      next if $service->{state} && $service->{state} == SERVICE_STOPPED;
      stop($service->{name}) && wait_for($service->{name}, SERVICE_STOPPED, 30)
          or die "$service->{name} did not stop: $^E\n";
  }

  printf "%-20s %s\n", $_->{name}, $_->{display} for @{ list(state => 'active') };

=head1 DESCRIPTION

C<Win32::Servane::Control> is the other side of L<Win32::Servane>: where
that package runs a script as a service and installs services, this one
works the services from outside, as the service control manager's clients
do (Windows' C<sc>, or C<svcctl> on the Windows layer). Any script may use
it, whether it runs as a service or not.

Each function names its service in one of two ways: by its key name, or by
a reference to a hash with the keys C<name> and C<machine> (the computer
whose manager is asked; "" or absent for this one). A service-information
hash of L<Win32::Servane/QueryServiceConfig(\%ServiceInfo)> does:

  my %service = (name => 'PerlEcho', machine => 'fileserver');
  Win32::Servane::Control::stop(\%service);

The state values are Win32::Servane's constants (SERVICE_STOPPED to
SERVICE_PAUSED), exported by C<use Win32::Servane;>. Numbers are 32-bit
values as that package gives them: 0x80000000 and above arrive negative.

=head1 ERRORS

A function that fails returns a false value (0, or undef for those that
return a reference or a value: check those with C<defined>) and records the
Windows error code:
L</last_error()> returns it, and C<$^E> holds it too (on Windows the
system's last-error value, elsewhere C<errno>), so that

  start('PerlEcho') or die "cannot start PerlEcho: $^E\n";

says why. A successful call does not clear it. The codes are Windows'
own, for example 1060 (the service does not exist), 1056 (it runs
already), 1062 (it is not running), 1053 (it did not reach the state in
time), 5 (access denied), 1722 (the machine cannot be reached), 123 (a name
with a NUL character in it), 87 (a parameter the function does not take).

A call with the wrong number of arguments dies with a usage message, for
example C<Usage: Win32::Servane::Control::stop(service)>.

=head1 FUNCTIONS

None is exported by default; import them by name or all with C<:all>:

  use Win32::Servane::Control qw(:all);

=head2 start($service, @args)

Starts the service. C<@args> reach the service's ServiceMain after its
name (a Win32::Servane script does not see them). Returns 1 once the
manager has started the service's process; the service is then
SERVICE_START_PENDING until it reports otherwise, so wait for
SERVICE_RUNNING with L</wait_for($service, $state [, $seconds])>.

=head2 stop($service), pause($service), resume($service), interrogate($service)

Send SERVICE_CONTROL_STOP, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE
or SERVICE_CONTROL_INTERROGATE. Each returns 1 when the service has taken
the control; the state it moves to follows later (wait for it). A stopped
service takes no control (1062), and a service takes only the controls it
announces in C<controls_accepted> (1052 otherwise).

=head2 control($service, $code)

Sends a user-defined control, a code from 128 to 255, which a
Win32::Servane script sees through C<QueryLastMessage> or its
"user_defined" callback. Other codes are sent as well and refused by the
manager when they are not the caller's to send (87).

=head2 status($service)

Returns a reference to a hash with the service's status, or undef:

  state              SERVICE_STOPPED ... SERVICE_PAUSED
  controls_accepted  SERVICE_ACCEPT_* bits
  win32_exit_code    0, or the Windows error the service stopped with
                     (1066: see service_exit_code)
  service_exit_code  the service's own exit code
  check_point        progress count of a pending state
  wait_hint          milliseconds the pending state may still take
  process_id         the service's process, 0 when it is stopped

=head2 wait_for($service, $state [, $seconds])

Waits until the service is in the state, reading its status every 10 to
100 milliseconds, for at most C<$seconds> (default 30; fractions count).
Returns 1 when it is, else 0 with the reason: 1053 when the time ran out,
or, when the service was seen running or pending and then stopped while
another state was awaited, its exit code (for example 1067, its process
ended without reporting SERVICE_STOPPED), or 1062 when it stopped without
one. A state outside SERVICE_STOPPED to SERVICE_PAUSED, or a negative
time, gives 87. Signals are handled while it waits: a C<die> in a
C<$SIG{ALRM}> or C<$SIG{INT}> handler ends the wait.

=head2 list(%filters)

Returns a reference to an array with one hash per service of the manager,
or undef. Each hash has the keys C<name> (the key name, which every other
function takes), C<display> (the display name) and those of
L</status($service)>. The filters, each optional:

  type     service type bits (default SERVICE_WIN32_OWN_PROCESS |
           SERVICE_WIN32_SHARE_PROCESS; SERVICE_KERNEL_DRIVER and
           SERVICE_FILE_SYSTEM_DRIVER list drivers)
  state    'active' (every state but SERVICE_STOPPED), 'inactive'
           (SERVICE_STOPPED) or 'all' (the default)
  machine  the computer whose services are listed

  for my $service (@{ list(state => 'active') }) {
      print "$service->{name} runs as process $service->{process_id}\n";
  }

Another filter name, or another state, gives 87.

=head2 dependents($service)

Returns a reference to an array of the services that depend on this one,
directly or through others, in the order to stop them (each before the
services it depends on), or undef. Each hash has the keys of L</list(%filters)>
but C<process_id>, which the manager does not give here.

=head2 failure_actions($service)

Returns a reference to a hash with what the manager does when the service's
process ends without the service reporting SERVICE_STOPPED, or undef:

  reset_period        seconds without a failure after which the failure
                      count goes back to 0 (-1: never)
  actions             a reference to an array of { type => ..., delay => ... }:
                      the first failure takes the first action, the second
                      the second, and every later one the last; type is
                      'none', 'restart' (start the service again), 'reboot'
                      (restart the computer) or 'run_command' (run command),
                      delay the milliseconds before it is taken
  command             the command line of 'run_command', or undef
  reboot_message      the message sent to users before 'reboot', or undef
  non_crash_failures  1 when a service that stops with SERVICE_STOPPED and a
                      non-zero win32_exit_code counts as failed too, else 0
                      (absent where the manager does not have it: Windows
                      before Vista)

An action type the manager has and this package does not name comes as its
number.

=head2 set_failure_actions($service, \%settings)

Changes the settings of L</failure_actions($service)>; returns 1, or 0.
Every key is optional, and a key left out leaves its setting as it is: so
the hash that L</failure_actions($service)> returns can be changed and
given back. C<command> and C<reboot_message> as "" or undef remove them, and
an empty C<actions> array removes the actions.

  set_failure_actions('PerlEcho', {
      reset_period => 3600,
      actions      => [ { type => 'restart', delay => 1000 },
                        { type => 'run_command', delay => 0 } ],
      command      => 'perl C:\\scripts\\alert.pl PerlEcho',
  }) or die "failure actions: $^E\n";

'restart' actions need the right to start the service; 'reboot' actions
need the shutdown privilege, which the call switches on for itself and
back off after (1314 when the account does not hold it). A key this
function does not take, an action type it does not name, or actions that
are not an array of hashes give 87, and nothing changes.

=head2 delayed_start($service)

Returns 1 when the service, an automatic one, starts a while after the
other automatic services, 0 when it starts with them, or undef.

=head2 set_delayed_start($service, $delayed)

Makes the service start delayed (a true C<$delayed>) or with the other
automatic services; returns 1, or 0. It applies to services of start type
SERVICE_AUTO_START; a service in a load-order group cannot be delayed (87).

=head2 is_service()

Returns 1 when the script was started by the service control manager, 0
when it runs from a console or any other way. A script can so serve both
ways:

  use Win32::Servane;
  use Win32::Servane::Control;

  if (Win32::Servane::Control::is_service()) {
      Win32::Servane::StartService();      # hand the process to the manager
      # ... the service's loop, see Win32::Servane
  } else {
      print "running from a console; Ctrl-C ends me\n";
      # ... the same work, without the service loop
  }

It tells by the window station the process started on: the manager starts
services on a service window station ("Service-0x..."), a logged-on user
works on "WinSta0". It is decided when the package is loaded, so load it
before any C<Win32::Servane::ShowService> or C<HideService>.

=head2 last_error()

Returns the Windows error code of the last failed call of this package, 0
until one fails. It is this package's own: L<Win32::Servane>'s
C<GetLastError> tells about that package's calls.

=head1 LIMITATIONS

=over 4

=item *

On the Windows layer (every system but Windows) only this computer's
manager exists: any other machine gives 1722.

=item *

L</wait_for($service, $state [, $seconds])> polls: a state that the service
holds for less than the polling interval may be missed, and is then waited
for until the next time the service is in it.

=item *

L</is_service()> does not recognise a service that runs on the interactive
window station (SERVICE_INTERACTIVE_PROCESS services that Windows moved to
"WinSta0"); it returns 0 for them.

=item *

On the Windows layer a 'reboot' failure action is recorded and shown but
never taken: the layer restarts no computer. Delayed automatic services
start after the others when C<svcctl boot> starts the automatic ones.

=item *

Only the ANSI forms of the manager's functions are used: names and texts
are byte strings in the system's code page.

=back

=head1 BUGS

None known. Please report a fault with the script that shows it, the
output of C<perl -V> and, on the Windows layer, C<svcctl query NAME> and
the service's log (C<svcctl logs NAME>).

=head1 SEE ALSO

L<Win32::Servane> (running a script as a service, installing services),
C<svcctl --help> on the Windows layer or C<sc> on Windows, and Windows'
documentation of StartService, ControlService, QueryServiceStatusEx,
EnumServicesStatusEx, EnumDependentServices and ChangeServiceConfig2.

=cut
