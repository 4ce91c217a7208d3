# examples/polling-service.pl installed with CreateService (this Perl as the
# program, the script as its parameters), started by the service control
# manager and driven through its whole life.
use strict;
use warnings;
use Test::More;
use File::Basename qw(dirname);
use File::Spec;
use lib File::Spec->catdir(dirname(__FILE__), 'lib');
use WinService qw(install_example live_through_controls log_lines);
use Win32::Servane;

my ($name, $log) = install_example('PerlPolling', 'polling-service.pl');
live_through_controls($name);

my @lines = log_lines($log, qr/^stopped after/);
my $final = pop @lines;
is_deeply(\@lines, [qw(starting running paused continued interrogated stopping)],
    'the script saw each control in turn');
like($final // '', qr/^stopped after [1-9]\d* rounds of work$/, 'and worked while running');

is(Win32::Servane::DeleteService($name), 1, 'DeleteService');
unlink $log;
done_testing;
