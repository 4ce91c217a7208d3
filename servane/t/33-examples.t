use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(source_dir perl_command);
use ServaneService qw(new_root end_services);

# The main job: both example services installed, started, paused, continued,
# stopped and removed through the service control manager.
my $root = new_root();
plan skip_all => 'the examples are not beside this distribution' unless source_dir();
plan skip_all => 'installing services needs root on the Windows layer' if $> != 0;

my $main = source_dir() . '/examples/main.pl';
my $out = qx{@{[ map { qq("$_") } perl_command() ]} "$main" 2>&1};
is($? >> 8, 0, 'examples/main.pl succeeds') or diag $out;

for my $name (qw(PerlPollingDemo PerlCallbackDemo)) {
    my ($section) = $out =~ /^\Q$name\E:(.*?)(?=^\S|\z)/ms;
    ok(defined $section, "$name shown") or next;
    like($section, qr/  start\n.*RUNNING\n.*  pause\n(?:.*PAUSE_PENDING\n)?.*PAUSED\n.*  continue\n(?:.*CONTINUE_PENDING\n)?.*RUNNING\n.*  stop\n(?:.*STOP_PENDING\n)?.*STOPPED\n/s,
        "$name: running, paused, running, stopped");
    like($section, qr/paused\n.*continued\n.*stopp/s, "$name: the script saw each control");
    like($section, qr/removed with/, "$name removed");
}
like($out, qr/stopped after \d+ rounds of work/, 'the polling example ran to its end');

end_services();
done_testing();
