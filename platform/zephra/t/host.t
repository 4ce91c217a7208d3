# zephra-host's command line and module list files, run from a plain perl.
use strict;
use warnings;
use Test::More;
use File::Temp qw(tempdir);

my $host = $ENV{ZEPHRA_HOST} or plan skip_all => 'ZEPHRA_HOST not set';
my $lib  = $ENV{ZEPHRA_MODULE_DIR};
my $dir  = tempdir(CLEANUP => 1);

sub write_file {
    my ($name, $text) = @_;
    open my $fh, '>', "$dir/$name" or die "$dir/$name: $!";
    print $fh $text;
    close $fh;
    return "$dir/$name";
}

sub run {
    my $out = qx{@_ 2>&1};
    return ($? >> 8, $? & 127, $out);
}

subtest 'runs a script with its arguments and exit status' => sub {
    my $script = write_file('args.pl', qq{print join(',', \@ARGV), "\\n"; exit 5;\n});
    my ($status, $signal, $out) = run(qq{"$host" "$script" a "b c"});
    is($signal, 0, 'no signal');
    is($status, 5, 'exit status of the script');
    is($out, "a,b c\n", 'arguments');
};

subtest 'perl options pass through' => sub {
    my ($status, undef, $out) = run(qq{"$host" -e "print 6*7, qq(\\n)"});
    is($status, 0, 'runs -e');
    is($out, "42\n", 'output');
    ($status, undef, $out) = run(qq{"$host" "-I$dir/inc" -e "print \\\$INC[0], qq(\\n)"});
    is($out, "$dir/inc\n", '-I reaches @INC');
};

subtest 'usage' => sub {
    my ($status, undef, $out) = run(qq{"$host"});
    is($status, 2, 'no arguments');
    like($out, qr/^usage: zephra-host \[-f CONFIG\]/, 'usage text');
    ($status, undef, $out) = run(qq{"$host" -f "$dir/x.conf"});
    is($status, 2, '-f without a script');
};

subtest 'module list files' => sub {
    my $conf = write_file('ok.conf', "# test\nModule core.c\n\nLoadModule mod_echo.c $lib/mod_echo.so\n");
    my $script = write_file('walk.pl', <<'EOF');
my $s = Zephra2::ServerUtil->server;
print ref($s), "\n";
EOF
    my ($status, undef, $out) = run(qq{"$host" -f "$conf" "$script"});
    is($status, 0, 'loads') or diag $out;
    is($out, "Zephra2::ServerRec\n", 'the server is there');

    my @bad = (
        [ "Module core.c\nLoadModule mod_echo.c\n", qr/^zephra-host: \Q$dir\E\/bad\.conf:2: LoadModule takes two arguments/ ],
        [ "Module core.c\nServerName x\n",         qr/^zephra-host: \Q$dir\E\/bad\.conf:2: unknown directive "ServerName"/ ],
        [ "Module core.c\nModule core.c\n",        qr/^zephra-host: \Q$dir\E\/bad\.conf:2: a module named core\.c is already linked/ ],
        [ "\nLoadModule mod_oldapi.c $lib/mod_oldapi.so\n", qr/^zephra-host: \Q$dir\E\/bad\.conf:2: module mod_oldapi\.c is built for API 19990101/ ],
        [ "LoadModule mod_none.c $dir/none.so\n",  qr/^zephra-host: \Q$dir\E\/bad\.conf:1: cannot load mod_none\.c from \Q$dir\E\/none\.so/ ],
    );
    for my $b (@bad) {
        my $c = write_file('bad.conf', $b->[0]);
        my ($st, $sig, $o) = run(qq{"$host" -f "$c" "$script"});
        is($sig, 0, 'no signal');
        is($st, 2, 'refused');
        like($o, $b->[1], 'names file and line');
    }
    my ($st, undef, $o) = run(qq{"$host" -f "$dir/none.conf" "$script"});
    is($st, 2, 'a missing file');
    like($o, qr/none\.conf: cannot open: /, 'says so');
};

done_testing;
