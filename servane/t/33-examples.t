use strict;
use warnings;
use Test::More;
use lib "$ENV{SOURCE_DIR}/servane/t/lib";
use ServaneService qw(new_root end_services);

# The main job: both example services installed, started, paused, continued,
# stopped and removed through the service control manager.
my $root = new_root();
plan skip_all => 'svcctl not built' unless -x "$ENV{BUILD_DIR}/bin/svcctl";

my $main = "$ENV{SOURCE_DIR}/examples/main.pl";
my $out = qx{"$^X" -I"$ENV{BUILD_DIR}/blib" "$main" 2>&1};
is($? >> 8, 0, 'examples/main.pl succeeds') or diag $out;

for my $name (qw(PerlPollingDemo PerlCallbackDemo)) {
    my ($section) = $out =~ /^\Q$name\E:(.*?)(?=^\S|\z)/ms;
    ok(defined $section, "$name shown") or next;
    like($section, qr/svcctl start\n.*RUNNING\n.*svcctl pause\n(?:.*PAUSE_PENDING\n)?.*PAUSED\n.*svcctl continue\n(?:.*CONTINUE_PENDING\n)?.*RUNNING\n.*svcctl stop\n(?:.*STOP_PENDING\n)?.*STOPPED\n/s,
        "$name: running, paused, running, stopped");
    like($section, qr/paused\n.*continued\n.*stopp/s, "$name: the script saw each control");
    like($section, qr/removed with/, "$name removed");
}
like($out, qr/stopped after \d+ rounds of work/, 'the polling example ran to its end');

end_services();
done_testing();
