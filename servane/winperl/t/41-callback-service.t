# examples/callback-service.pl, the callback-mode service, through the same
# life under the service control manager as the polling one.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(install_example live_through_controls log_lines);
use Win32::Servane;

my ($name, $log) = install_example('PerlCallback', 'callback-service.pl');
live_through_controls($name, $log);

my @lines = log_lines($log, qr/^service run ended$/);
is(pop @lines, 'service run ended', 'StartService returned once StopService ended the loop');
my $stop = pop @lines;
is_deeply(\@lines, [qw(starting paused continued interrogated)],
    'a callback for each control, in turn');
like($stop // '', qr/^stopping \(event 1\) after [1-9]\d* ticks$/,
    'the stop callback, after timer ticks while running');

is(Win32::Servane::DeleteService($name), 1, 'DeleteService');
unlink $log;
done_testing;
