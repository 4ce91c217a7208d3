# Runs inside zephra-host: walks the module list with top_module/next,
# reading each name, and looks every module up by name.
use strict;
use warnings;
use Time::HiRes qw(time);
use Zephra2::Module;

my ($rounds, $count) = @ARGV;
my @names = map { sprintf 'bench_%05d.c', $_ } 0 .. $count - 1;

my $visited = 0;
my $t0      = time;
for (1 .. $rounds) {
    for (my $m = Zephra2::Module::top_module(); $m; $m = Zephra2::Module::next($m)) {
        my $name = Zephra2::Module::name($m);
        $visited++;
    }
}
my $walk = (time - $t0) / $rounds;

my $found = 0;
$t0 = time;
for my $n (@names) {
    $found++ if Zephra2::Module::find_linked_module($n);
}
my $find = time - $t0;

printf "visited=%d found=%d walk_s=%.9f find_s=%.9f\n", $visited / $rounds, $found, $walk, $find;
