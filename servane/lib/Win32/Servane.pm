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

# The functions, on request: by name or by tag.
my @service_functions = qw(
  StartService StopService RegisterCallbacks CallbackTimer State QueryLastMessage
  Timeout AcceptedControls GetServiceHandle SetServiceBits
  ShowService HideService RestoreService
);
my @admin_functions = qw(
  CreateService ConfigureService QueryServiceConfig DeleteService
  GetSecurity SetSecurity GetLastError
);
my @other_functions = qw(Constant GetVersion IsDebugBuild DebugOutputPath);
our @EXPORT_OK = (@service_functions, @admin_functions, @other_functions);
our %EXPORT_TAGS = (
  service   => [@service_functions],
  admin     => [@admin_functions],
  constants => [@EXPORT],
  all       => [@EXPORT, @EXPORT_OK],
);

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

A complete service: it writes a line to its log every second while it
runs, pauses and continues, and ends when the manager stops it.

  #!/usr/bin/perl
  # Install it once with CreateService, perl as the program and this script
  # (and its log file) as the parameters; start it with
  # Win32::Servane::Control::start, sc or svcctl.
  use strict;
  use warnings;
  use IO::Handle;
  use Time::HiRes qw(sleep);
  use Win32::Servane qw(:DEFAULT :service);

  open my $log, '>>', shift // 'tick.log' or die "tick.log: $!";
  $log->autoflush(1);

  # Accept stop and pause/continue (set it yourself: on Windows 8 and later
  # a service accepts no control at all by default).
  AcceptedControls(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE);
  StartService();
  sleep 0.1 while State() == SERVICE_NOT_READY;  # until the manager runs it
  exit 1 if State() == SERVICE_STOPPED;          # not started by the manager
  State(SERVICE_RUNNING);

  my $ticks = 0;
  while (State() != SERVICE_STOPPED) {
      my $control = QueryLastMessage();
      QueryLastMessage(1) if $control != SERVICE_CONTROL_NONE;
      if ($control == SERVICE_CONTROL_STOP) {
          State(SERVICE_STOPPED);
      } elsif ($control == SERVICE_CONTROL_PAUSE) {
          State(SERVICE_PAUSED);
      } elsif ($control == SERVICE_CONTROL_CONTINUE) {
          State(SERVICE_RUNNING);
      } elsif (State() == SERVICE_RUNNING) {
          print $log 'tick ', ++$ticks, "\n";
          sleep 1;
          next;
      }
      sleep 0.1;
  }
  StopService();
  print $log "stopped after $ticks ticks\n";

=head1 DESCRIPTION

C<Win32::Servane> lets a Perl script run as a Windows service, driven either by
polling its state or through callbacks, and lets any script create,
reconfigure, query, secure and delete services.

All functions live in the package C<Win32::Servane>; call them with their
full names or import them (see L</EXPORTS>). Every function returns one
value. Integer results are 32-bit
values as a 32-bit Perl holds them: values of 0x80000000 and above arrive as
negative numbers (C<SERVICE_CONTROL_NONE> is -1).

=head1 EXPORTS

C<use Win32::Servane;> exports the constants below, and only them, as it
always has. The 24 functions can be imported by name or in groups:

  use Win32::Servane;                       # the constants
  use Win32::Servane qw(:DEFAULT :service); # the constants and the service run
  use Win32::Servane qw(:admin);            # administration only, no constants
  use Win32::Servane qw(State StopService); # those two only

=over 4

=item :constants

The constants (what C<use Win32::Servane;> exports).

=item :service

The service run: StartService, StopService, RegisterCallbacks,
CallbackTimer, State, QueryLastMessage, Timeout, AcceptedControls,
GetServiceHandle, SetServiceBits, ShowService, HideService and
RestoreService.

=item :admin

Administration: CreateService, ConfigureService, QueryServiceConfig,
DeleteService, GetSecurity, SetSecurity and GetLastError.

=item :all

The constants and all 24 functions: the groups above and Constant,
GetVersion, IsDebugBuild and DebugOutputPath.

=back

=head1 CONSTANTS

C<use Win32::Servane;> exports these names as constant subroutines (also
available with the tags C<:constants> and C<:all>). Their values come from the library's own
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

=head1 RUNNING A SCRIPT AS A SERVICE

A service script is installed with the perl interpreter as the service's
program and the script as its parameters (see L</CreateService(\%ServiceInfo)>).
When the service control manager starts it, the script calls
L</StartService([\%Context [, $CallbackTimer]])>, which hands the process to
the manager on a thread of its own and returns (polling mode), or runs the
script's callbacks until the service run ends (callback mode). A process
runs its service once.

Whenever the manager sends stop, pause, continue (or the library its own
start event), the library moves the service into the matching pending state
itself and arms a timer: if the script reports no state within
L</Timeout([$Timeout])> seconds, the library reports the target state
(STOPPED, PAUSED or RUNNING) for it. Any state the script reports cancels that
automatic move. Other controls (interrogate, shutdown, parameter and
binding changes, user-defined codes) change no state; the script decides.

Run from a console instead of by the manager, C<StartService> still returns
a handle, and C<State> soon reads SERVICE_STOPPED.

To drive a script from a terminal while writing it, run it on the Windows
layer with C<svcctl debug perl myservice.pl>: it runs as a temporary service
with its output on the terminal, Ctrl-C stops it, Ctrl-Z pauses it and
C<fg> continues it. A service started by the manager writes its output to
its log, which C<svcctl logs NAME> shows.

A polling script's loop is its own, and it must end it: leave the loop once
C<State()> returns SERVICE_STOPPED, whoever reported it (the script itself,
or the library after a stop that the script did not answer within
C<Timeout> seconds), then call C<StopService()> and let the script end. A
loop that waits only for its own SERVICE_CONTROL_STOP handling keeps the
process alive after the manager has let go of the service, and a later start
runs a second copy beside it.

=head2 StartService([\%Context [, $CallbackTimer]])

Starts the service dispatcher thread and returns its handle (0 when the
thread could not be created). Later calls return the same handle and start
nothing. Without registered callbacks it returns at once. With callbacks
(L</RegisterCallbacks($Callbacks)>) it runs the callback loop on the calling
thread and returns only when L</StopService()> has been called (usually from
the "stop" callback). C<\%Context> is passed to every callback;
C<$CallbackTimer> is the period of the "timer"/"running" event in
milliseconds (5000 when not given, even if L</CallbackTimer([$CallbackTimer])>
set another one before). A C<die> inside a callback is not caught: it leaves
C<StartService> through the script's own C<eval>.

The callback loop also ends, and C<StartService> returns, once the service
has reached SERVICE_STOPPED and the manager has let go of it: when the
"stop" callback returns SERVICE_STOPPED, or when no callback answered and
the library finished the stop itself after C<Timeout> seconds. The script
then runs on after C<StartService> and should end. Started from a console
instead of by the manager, the loop runs on its timer until C<StopService>.

=head2 State([$State [, $WaitHint]] | \%Hash)

Returns the service's current state, 0 (SERVICE_NOT_READY) until the manager
has run the service. With a state it reports that state (and a wait hint in
milliseconds) to the manager, clearing any service-specific exit code. With a
hash it reports C<< $Hash->{state} >> (default: the current state),
C<< $Hash->{wait_hint} >> (default 0) and C<< $Hash->{error} >>, a
service-specific exit code (default 0; -1 keeps the one reported before):

    Win32::Servane::State({ state => SERVICE_STOPPED, error => 42 });

makes the manager show the exit code 1066 (ERROR_SERVICE_SPECIFIC_ERROR) with
the service-specific code 42. Usage error:
"Usage: State( [$State [, $WaitHint ] || \%Hash ] )".

Until the manager has run the service (there is no status handle yet:
C<GetServiceHandle()> returns 0), C<State> only reads: its arguments are
ignored and it returns the current state, 0 before the start, or
SERVICE_STOPPED in a script that the manager did not start. Later, every call
with arguments reports. A state of 0 (C<State(undef)>, a string that is not a
number) is sent like any other, the manager refuses it, and C<State()> reads
0 until the next report, which goes out as usual. A hash key is read only when
the hash holds it (C<exists>): a tied hash that answers every fetch, or a
restricted hash (C<Hash::Util::lock_keys>), gives only the keys it holds.

=head2 QueryLastMessage([$fResetMessage])

Returns the last control the manager sent (SERVICE_CONTROL_STOP and so on),
or -1 (SERVICE_CONTROL_NONE). Only the last one is kept. With a true
argument it forgets the control and returns -1: read with
C<QueryLastMessage()>, then reset with C<QueryLastMessage(1)>.

=head2 Timeout([$Timeout])

Returns, or sets and returns, the seconds the library waits in a pending
state before it reports the target state itself (default 5). The first
pending state, START_PENDING, waits 10 seconds in polling mode.

=head2 AcceptedControls([$NewControls])

Returns, or sets and returns, the SERVICE_ACCEPT_* bits sent with every
status report. A new value goes out with the next report. The default
depends on the Windows version the library finds at load:
SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN
on Windows NT 4, those and SERVICE_ACCEPT_PARAMCHANGE |
SERVICE_ACCEPT_NETBINDCHANGE on Windows 2000 to 7 (and on the Windows layer,
which reports Windows 7), and B<none at all on Windows 8 and later>: there
the manager cannot even stop the service. Call C<AcceptedControls> yourself,
before C<StartService>, with the controls your script handles.

=head2 GetServiceHandle()

Returns the service status handle, 0 until the manager has run the service.

=head2 SetServiceBits($Value [, $hServiceHandle])

Announces the service's user-defined service bits (USER_SERVICE_BITS_1 to
USER_SERVICE_BITS_10; other bits are dropped). Before the manager has run the
service (no status handle, or a second argument of 0) the bits are kept and
announced when the service starts, and 1 is returned; otherwise the result
of the system call (non-zero on success).

=head2 RegisterCallbacks($Callbacks)

Registers the subroutines of callback mode. A code reference is registered
for every event. A hash reference maps event names to code references:
"start", "running", "timer", "stop", "pause", "continue", "interrogate",
"shutdown", "param_change", "net_bind_add", "net_bind_remove",
"net_bind_enable", "net_bind_disable", "device_event",
"hardware_profile_change", "power_event", "session_change" and
"user_defined". A hash replaces the whole registration: names it lacks are
cleared; a name whose value is not code keeps its old subroutine. Returns 1
for a code or hash reference, else 0.

Each callback is called with the event code and a reference to the context
hash given to C<StartService> (or a fresh hash), in which the code is also
stored under "command". "start" comes once, when the manager has started the
service (in START_PENDING); "running" (or, when no "running" is registered,
"timer") comes every C<$CallbackTimer> milliseconds, with
SERVICE_CONTROL_RUNNING or SERVICE_CONTROL_TIMER; the others come with the
manager's controls, one at a time and in the order they arrived. A callback
answers either with C<State> or by returning the new state as an integer
(C<return SERVICE_RUNNING;>); a string or C<undef> changes nothing.

Perl's own true and false values are not states, although they hold 1 and
0: a callback whose last statement is a C<print>, a comparison or a C<!>
returns such a value and changes nothing. Return an integer or a constant to
report a state, and end other callbacks with C<return;>.

=head2 CallbackTimer([$CallbackTimer])

Returns, or sets and returns, the period of the "timer"/"running" event in
milliseconds. 0 switches the event off. Setting a period starts the timer.

=head2 StopService()

Ends the service run: ends the library's ServiceMain thread, gives the
dispatcher thread a second to finish and ends it otherwise, reports
SERVICE_STOPPED and ends the callback loop (after the current callback
returns). Returns 1, or 0 when no service thread was started. Report
SERVICE_STOPPED with C<State> first, so that the manager lets the dispatcher
end by itself; the call then takes about 0.1 s, else about 1.5 s.

=head2 Example: a polling service

This is F<examples/polling-service.pl>:

    #!/usr/bin/perl
    # A complete Win32::Servane service in polling mode: the script runs its own
    # loop, asks the library which control the service control manager sent,
    # and answers each one by reporting the new state.
    #
    # Install it with the perl interpreter as the program and this script as its
    # parameters, for example:
    #   Win32::Servane::CreateService({ name => 'PerlPoll', display => 'Perl polling service',
    #       path => $^X, parameters => "$0 /var/log/perlpoll.log" });
    # Its only argument is the file it writes its log lines to.
    use strict;
    use warnings;
    use IO::Handle;
    use Time::HiRes qw(sleep);
    use Win32::Servane;

    my $logfile = shift // 'polling-service.log';
    open my $log, '>>', $logfile or die "$logfile: $!";
    $log->autoflush(1);
    sub note { printf $log "%s %s\n", scalar localtime, "@_" }

    # Give the script 10 s for each pending state before the library moves the
    # service on by itself, and accept stop, pause/continue and shutdown.
    Win32::Servane::Timeout(10);
    Win32::Servane::AcceptedControls(
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);

    Win32::Servane::StartService();

    # Wait until the manager has run ServiceMain (the state leaves 0).
    sleep 0.05 while Win32::Servane::State() == SERVICE_NOT_READY;
    if (Win32::Servane::State() == SERVICE_STOPPED) {
        note 'not started by the service control manager';
        exit 1;
    }
    note 'starting';
    Win32::Servane::State(SERVICE_START_PENDING, 3000);   # start-up takes up to 3 s
    sleep 0.5;                                            # the start-up work
    Win32::Servane::State(SERVICE_RUNNING);
    note 'running';

    my $work = 0;
    while (1) {
        my $control = Win32::Servane::QueryLastMessage();
        Win32::Servane::QueryLastMessage(1) if $control != SERVICE_CONTROL_NONE;
        my $state = Win32::Servane::State();

        if ($control == SERVICE_CONTROL_STOP || $control == SERVICE_CONTROL_SHUTDOWN
            || $state == SERVICE_STOPPED) {
            note 'stopping';
            Win32::Servane::State(SERVICE_STOPPED);
            last;
        }
        if ($control == SERVICE_CONTROL_PAUSE || $state == SERVICE_PAUSE_PENDING) {
            note 'paused';
            Win32::Servane::State(SERVICE_PAUSED);
        } elsif ($control == SERVICE_CONTROL_CONTINUE || $state == SERVICE_CONTINUE_PENDING) {
            note 'continued';
            Win32::Servane::State(SERVICE_RUNNING);
        } elsif ($control == SERVICE_CONTROL_INTERROGATE) {
            note 'interrogated';
        }

        # The service's own work, one unit of 0.3 s at a time while running;
        # controls are looked at between units.
        if (Win32::Servane::State() == SERVICE_RUNNING) {
            sleep 0.3;
            $work++;
        } else {
            sleep 0.1;
        }
    }

    Win32::Servane::StopService();
    note "stopped after $work rounds of work";

=head2 Example: a callback service

This is F<examples/callback-service.pl>:

    #!/usr/bin/perl
    # A complete Win32::Servane service in callback mode: the script registers a
    # subroutine per event and hands its thread to the library, which calls them
    # for each control of the service control manager and on a periodic timer.
    # A callback answers by returning the new state as an integer.
    #
    # Install it like the polling example (perl as the program, this script as
    # its parameters). Its only argument is the file it writes its log lines to.
    use strict;
    use warnings;
    use IO::Handle;
    use Win32::Servane;

    my $logfile = shift // 'callback-service.log';
    open my $log, '>>', $logfile or die "$logfile: $!";
    $log->autoflush(1);
    sub note { printf $log "%s %s\n", scalar localtime, "@_" }

    # Shared with every callback, which also finds the event code under "command".
    my %context = (ticks => 0);

    Win32::Servane::Timeout(10);
    Win32::Servane::AcceptedControls(
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN);

    # A unit of the service's work in progress that a pause or stop lets finish.
    sub finish_work { select undef, undef, undef, 0.3 }

    my $stop = sub {
        my ($event, $ctx) = @_;
        finish_work();
        note "stopping (event $event) after $ctx->{ticks} ticks";
        Win32::Servane::State(SERVICE_STOPPED);
        Win32::Servane::StopService();    # ends the callback loop when this returns
        return;
    };

    Win32::Servane::RegisterCallbacks({
        start => sub {
            note 'starting';
            select undef, undef, undef, 0.5;    # the start-up work
            return SERVICE_RUNNING;
        },
        running => sub {                  # every timer tick while the loop runs
            my ($event, $ctx) = @_;
            $ctx->{ticks}++ if Win32::Servane::State() == SERVICE_RUNNING;
            return;
        },
        pause => sub {
            finish_work();
            note 'paused';
            return SERVICE_PAUSED;
        },
        continue => sub {
            note 'continued';
            return SERVICE_RUNNING;
        },
        interrogate => sub {
            note 'interrogated';
            return;                       # nothing to change
        },
        stop     => $stop,
        shutdown => $stop,
    });

    # Runs the callbacks, with a tick every 500 ms, until StopService.
    my $thread = Win32::Servane::StartService(\%context, 500);
    note $thread ? 'service run ended' : 'the service thread could not be started';

=head1 WINDOW STATIONS AND DESKTOPS

A service runs on its own window station, where nobody sees its console.
These functions move the whole process to another window station and the
calling thread to one of its desktops, and back. Before a switch the library
adds access-allowed entries for the account the process runs as to the
target's access-control lists, so that the process can use them. Each
returns 1 on success and 0 on failure; they record nothing in
C<GetLastError()>.

=head2 ShowService([$WindowStation [, $Desktop]])

Moves to a visible window station and desktop, C<Winsta0> and C<Default>
unless named (a third argument is accepted and ignored). The console is
detached and a new one allocated on the new desktop, also when the switch
fails. When the desktop cannot be opened, the process stays on the window
station it moved to and the result is 0. When the desktop's access list
cannot be extended, the thread stays on its desktop and the result is 1.

=head2 HideService()

Moves to LocalSystem's service window station, C<Service-0x0-3e7$>, and its
desktop C<Default>.

=head2 RestoreService()

Moves back to the window station and desktop that were current when the
library was loaded.

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

An element is copied as a C string, up to its first NUL byte:
C<["A\0B", "C"]> gives the two dependencies A and C. Only the string form
that C<ConfigureService> takes holds several NUL-separated names.

=item service_type, start_type, error_control

Numbers (use the constants). C<CreateService> defaults them to
SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START and 0 (errors ignored; the
table has no constant for it);
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

Writing a queried hash back: C<path> holds the whole command line, arguments
included, and C<ConfigureService> puts a path that contains a blank in double
quotes. A queried hash handed back unchanged therefore wraps the whole
command line in quotes (C<"C:\x.exe -a b">), and the service no longer
starts. Delete C<path> before writing the hash back, or give C<path> and
C<parameters> apart:

    my %info = (name => 'PerlEcho');
    Win32::Servane::QueryServiceConfig(\%info) or die;
    delete $info{path};                  # keep the command line as it is
    $info{start_type} = SERVICE_DEMAND_START;
    Win32::Servane::ConfigureService(\%info);

A tied hash receives every key through its C<STORE>.

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
example C<Usage: Win32::Servane::GetVersion()>. Other failures are a 0 (or
undef) result; the administration functions also record the Windows error
for C<GetLastError()>.

=head1 LIMITATIONS

On Windows the library uses the system's service control manager. On every
other system it runs over the Windows layer of this distribution's source
tree, which offers what the library needs and no more:

=over 4

=item *

The state root: the layer keeps its registry, its service database and the
services' status and logs in one folder, named by C<WIN32POSIX_ROOT>, else
C<$XDG_STATE_HOME/win32posix> or F<~/.local/state/win32posix>, created on
first use. Loading C<Win32::Servane> creates nothing there: the user's
registry hive is loaded when the registry is first needed (an
administration call or C<StartService>). Set C<WIN32POSIX_ROOT> before that
point to work in another root.

=item *

Services are real processes: C<svcsupervisor> starts each one's command
line (C<path> and C<parameters>) and relays the manager's controls. A
service's standard output and error are appended to a log file in the
state root's F<logs> folder, named after the service (C<svcctl logs NAME>
shows it). C<svcctl> is the command-line controller, used like Windows'
C<sc>.

=item *

Only this computer's manager exists: a C<machine> other than "" fails.
Services run as the user who started them, whatever C<user> says (the
password is accepted and never stored). Administration needs root, which
is LocalSystem there; other users may query.

=item *

There are no driver services, no services sharing a process, no
service-group start order, and window stations are the process's own:
C<ShowService> and C<HideService> switch them and their consoles, but no
window appears anywhere.

=item *

C<AcceptedControls> defaults to the Windows 7 set there (see
L</AcceptedControls([$NewControls])>); set it yourself so that the script
behaves the same on every Windows.

=back

=head1 BUGS

=over 4

=item *

C<QueryLastMessage> keeps the last control only: a control that arrives
before the script has read the one before replaces it. A polling script
that must see every control should answer each one quickly; callback mode
queues them.

=item *

A process runs its service once: a second C<StartService> returns the
first run's handle and starts nothing.

=back

Please report a fault with a script that shows it and the output of
C<perl -V>.

=head1 SEE ALSO

L<Win32::Servane::Control> (start, stop, query, list and wait for
services), C<Win32::Acloria> (security descriptors for C<SetSecurity>),
C<svcctl --help> on the Windows layer or C<sc> on Windows, and Windows'
documentation of the service functions the library wraps (CreateService,
ChangeServiceConfig, QueryServiceConfig, SetServiceStatus,
RegisterServiceCtrlHandler and StartServiceCtrlDispatcher).

=cut
