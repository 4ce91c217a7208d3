use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest qw(dist_dir perl_command);
use ServaneService qw(new_root read_log wait_log end_services);
use Pod::Checker;
use Win32::Servane qw(:DEFAULT CreateService DeleteService);
use Win32::Servane::Control qw(start stop pause resume wait_for);

# The documentation as its readers use it: clean POD, every function and
# constant it names defined, and the SYNOPSIS a service that runs.
my %pod = map { $_ => dist_dir() . "/lib/$_" } qw(Win32/Servane.pm Win32/Servane/Control.pm);

sub text_of { local (@ARGV, $/) = @_; <> }

# The verbatim block of a section, as one script.
sub synopsis {
    my ($text) = @_;
    my ($section) = $text =~ /^=head1 SYNOPSIS\n(.*?)^=head1/ms;
    return join '', map { s/^  //r } grep { /^(  |$)/ } split /^/m, $section;
}

for my $file (sort keys %pod) {
    my $checker = Pod::Checker->new(-warnings => 2);
    open my $null, '>', File::Spec->devnull or die;
    $checker->parse_from_file($pod{$file}, $null);
    is($checker->num_errors, 0, "$file: no POD errors");
    is($checker->num_warnings, 0, "$file: no POD warnings");

    my $text = text_of($pod{$file});
    my (%functions, %constants);
    $functions{$1} = 1 while $text =~ /\b(Win32::Servane(?:::Control)?::[a-zA-Z]\w*)\b/g;
    (my $package = $file) =~ s{/}{::}g;
    $package =~ s/\.pm$//;
    $functions{"${package}::$1"} = 1 while $text =~ /^=head2 (\w+)\(/mg;
    $constants{$1} = 1 while $text =~ /\b((?:USER_)?SERVICE_\w*[A-Z0-9]|SC_GROUP_IDENTIFIER|NO_ERROR)\b/g;
    no strict 'refs';
    my @missing_functions = grep { !defined &{$_} && !%{"${_}::"} } sort keys %functions;
    is_deeply(\@missing_functions, [], "$file: every function it names exists");
    my @missing_constants = grep { !Win32::Servane::Constant($_, my $v) } sort keys %constants;
    is_deeply(\@missing_constants, [], "$file: every constant it names exists");
}

my $control_synopsis = synopsis(text_of($pod{'Win32/Servane/Control.pm'}));
my $servane_synopsis = synopsis(text_of($pod{'Win32/Servane.pm'}));
for ([Control => $control_synopsis], [Servane => $servane_synopsis]) {
    my ($name, $code) = @$_;
    my $root = new_root();
    my $script = "$root/synopsis.pl";
    open my $fh, '>', $script or die;
    print $fh $code;
    close $fh;
    my $out = qx{@{[ map { qq("$_") } perl_command() ]} -c "$script" 2>&1};
    like($out, qr/syntax OK/, "$name: the SYNOPSIS compiles") or diag "$out\n$code";
}

SKIP: {
    skip 'creating services needs root on the Windows layer', 6 if $> != 0;
    my $root = new_root();
    my $script = "$root/tick.pl";
    open my $fh, '>', $script or die;
    print $fh $servane_synopsis;
    close $fh;
    my $log = "$root/tick.log";
    my @perl = perl_command();
    ok(CreateService({ name => 'PerlTick', path => shift @perl,
                       parameters => join ' ', @perl, $script, $log }), 'installed');
    ok(start('PerlTick') && wait_for('PerlTick', SERVICE_RUNNING, 30), 'the SYNOPSIS service runs')
        or diag 'error ', Win32::Servane::Control::last_error(), ': ', read_log($log),
                map { read_log($_) } glob "$root/logs/*";
    ok(wait_log($log, qr/^tick 1$/m), 'and works');
    ok(pause('PerlTick') && wait_for('PerlTick', SERVICE_PAUSED, 30), 'pauses');
    ok(resume('PerlTick') && wait_for('PerlTick', SERVICE_RUNNING, 30), 'continues');
    ok(stop('PerlTick') && wait_for('PerlTick', SERVICE_STOPPED, 30)
       && wait_log($log, qr/^stopped after \d+ ticks$/m), 'and stops at the end')
        or diag read_log($log);
    DeleteService('PerlTick');
    end_services();
}

done_testing;
