# examples/callback-service.pl, the callback-mode service, through the same
# life under the service control manager as the polling one.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(example install live_through_controls log_lines unique_name);
use Win32::Servane;

my $name = unique_name('PerlCallback');
my $log  = File::Spec->catfile($ENV{TEMP} // File::Spec->tmpdir, "$name.log");
unlink $log;

is(install(name => $name, script => example('callback-service.pl'), log => $log), 1,
    'CreateService') or diag('GetLastError ' . Win32::Servane::GetLastError());

live_through_controls($name);

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
