# examples/polling-service.pl installed with CreateService (this Perl as the
# program, the script as its parameters), started by the service control
# manager and driven through its whole life.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(example install_example live_through_controls log_lines temp_file);
use Win32::Servane;

my ($name, $log) = install_example('PerlPolling', 'polling-service.pl');
live_through_controls($name, $log);

my @lines = log_lines($log, qr/^stopped after/);
my $final = pop @lines;
is_deeply(\@lines, [qw(starting running paused continued interrogated stopping)],
    'the script saw each control in turn');
like($final // '', qr/^stopped after [1-9]\d* rounds of work$/, 'and worked while running');

is(Win32::Servane::DeleteService($name), 1, 'DeleteService');
unlink $log;

# Run from a console instead, the dispatcher cannot connect: the script sees
# SERVICE_STOPPED and gives up. (Wine's StartServiceCtrlDispatcherA blocks
# for about 10 s before it fails; Windows fails at once with 1063.)
my $console_log = temp_file("$name-console.log");
unlink $console_log;
is(system($^X, example('polling-service.pl'), $console_log) >> 8, 1,
    'outside the service manager the script exits 1');
is_deeply([log_lines($console_log)], ['not started by the service control manager'],
    'after seeing SERVICE_STOPPED');
unlink $console_log;
done_testing;
