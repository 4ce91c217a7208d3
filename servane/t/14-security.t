use strict;
use warnings;
use Test::More;
use FindBin;
use lib "$FindBin::Bin/lib";
use ServaneTest;
use File::Temp qw(tempdir);
use Config;
BEGIN { $ENV{WIN32POSIX_ROOT} = tempdir('servane-security-XXXXXX', TMPDIR => 1, CLEANUP => 1) }
use Win32::Servane;
use Win32::Acloria;

sub last_error { Win32::Servane::GetLastError() }
sub get { Win32::Servane::GetSecurity('', @_) }
sub set { Win32::Servane::SetSecurity('', @_) }
sub set_error_1060 { Win32::Servane::DeleteService('NoSuchService'); last_error() == 1060 }
my $sid = \&Win32::Acloria::sid;

# Control word and the four part offsets of a self-relative descriptor.
sub layout { my (undef, undef, $control, @offsets) = unpack('C C v V4', $_[0]); ($control, @offsets) }

is(Win32::Servane::CreateService({ name => 'Sec', path => 'C:\\s.exe' }), 1, 'service')
    or BAIL_OUT('no service');

subtest 'argument counts' => sub {
    eval { Win32::Servane::GetSecurity('') };
    like($@, qr/^Usage: Win32::Servane::GetSecurity\(pszMachine, pszServiceName\) at /, 'Get');
    eval { Win32::Servane::SetSecurity('', 'Sec') };
    like($@, qr/^Usage: Win32::Servane::SetSecurity\(pszMachine, pszServiceName, pSvSecurityObject\) at /,
        'Set');
};

subtest 'the bytes GetSecurity returns are accepted back unchanged' => sub {
    my $audited = Win32::Acloria->build(
        owner => $sid->('S-1-5-18'), group => $sid->('S-1-5-18'),
        dacl  => [[0, 0, 0xF01FF, $sid->('S-1-5-18')], [0, 0, 0x2008D, $sid->('S-1-1-0')]],
        sacl  => [[2, 0xC0, 0xF01FF, $sid->('S-1-1-0')]]);
    is(set('Sec', $audited), 1, 'a descriptor with DACL and SACL set');
    my $sd = get('Sec');
    ok(defined $sd, 'read back');
    my ($control) = layout($sd);
    ok($control & 0x10 && $control & 0x04, 'with both lists');
    is(set('Sec', $sd), 1, 'the same bytes set again');
    is(get('Sec'), $sd, 'DACL and SACL unchanged');
};

subtest 'a list the descriptor lacks is removed' => sub {
    my $plain = Win32::Acloria->build(owner => $sid->('S-1-5-18'),
        dacl => [[0, 0, 0xF01FF, $sid->('S-1-5-18')]]);
    is(set('Sec', $plain->Bytes), 1, 'bytes without a SACL');
    my ($control, @offsets) = layout(get('Sec'));
    ok(!($control & 0x10) && !$offsets[2], 'the service has no SACL now');
};

subtest 'descriptors over 1024 bytes come back whole' => sub {
    my $big = Win32::Acloria->build(owner => $sid->('S-1-5-18'), group => $sid->('S-1-5-18'),
        dacl => [map { [0, 0, 0x20000 | $_, $sid->("S-1-5-21-7-8-9-$_")] } 1 .. 80]);
    ok(length($big->Bytes) > 1024, 'a big descriptor (' . length($big->Bytes) . ' bytes)');
    is(set('Sec', $big), 1, 'set through the object');
    my $sd = get('Sec');
    is(length $sd, length $big->Bytes, 'same length read back');
    my (undef, undef, undef, undef, $dacl) = layout($sd);
    my (undef, undef, undef, undef, $bigDacl) = layout($big->Bytes);
    is(substr($sd, $dacl), substr($big->Bytes, $bigDacl), 'the DACL whole');
};

subtest 'companion objects' => sub {
    {
        no strict 'refs';
        *{'WIN32::aCLORIA::GetSD'} = \&Win32::Acloria::GetSD;
        @{'Win32::Acloria::Sub::ISA'} = ('Win32::Acloria');
        *{'Empty::Win32::Acloria::GetSD'} = \&Win32::Acloria::GetSD;
    }
    my $sd = get('Sec');
    my $object = Win32::Acloria->new($sd);
    is(set('Sec', $object), 1, 'Win32::Acloria');
    is(set('Sec', bless({ sd => $sd }, 'WIN32::aCLORIA')), 1, 'the name in another case');
    ok(set_error_1060(), 'error set');
    is(set('Sec', bless({ sd => $sd }, 'Win32::Acloria::Sub')), 0, 'a subclass is refused');
    is(set('Sec', bless({}, 'Other')), 0, 'another class is refused');
    is(set('Sec', bless({ sd => $sd }, 'Empty::Win32::Acloria')), 0, 'a longer name is refused');
    my $none = bless({}, 'Win32::Acloria');
    { no warnings 'redefine'; local *Win32::Acloria::GetSD = sub { return };
      is(set('Sec', $none), 0, 'GetSD returning nothing gives 0'); }
    { no warnings 'redefine'; local *Win32::Acloria::GetSD = sub { die "GetSD failed\n" };
      ok(!eval { set('Sec', $none); 1 }, 'an exception in GetSD');
      is($@, "GetSD failed\n", 'passes through'); }
    is(last_error(), 1060, 'GetLastError unchanged by refused objects');
};

subtest 'an integer address' => sub {
    my $object = Win32::Acloria->new(get('Sec'));
    my $address = $object->GetSD;
    ok($address > 2**32 || $Config{ptrsize} == 4, 'a pointer-sized address') or diag $address;
    is(set('Sec', $address), 1, 'the address of a descriptor');
    is(set('Sec', "$address"), 1, 'the address as a string');
};

subtest 'numbers that are no descriptor address never crash' => sub {
    no warnings 'portable';
    ok(set_error_1060(), 'error set');
    my $text = 'this is not a descriptor at all, just text';
    my $bogusRelative = pack('C x v V4', 1, 0x8004, 0, 0, 0, 0x7FFFFFF0) . ("\0" x 32);
    my $bogusAbsolute = pack('C x v x4 Q4', 1, 0x0004, 0, 0, 0, 0xDEAD0000BEEF);
    my @numbers = (0, 1, -1, 8, 4095, 4096, 65536, 2**31, 2**32 - 1, 2**32, 2**47, 2**48,
        2**63, 18446744073709551615, -2**63, 0x7FFFFFFFFFFF, 0xFFFF800000000000,
        unpack('J', pack('p', $text)), unpack('J', pack('p', $bogusRelative)),
        unpack('J', pack('p', $bogusAbsolute)), \&set + 0, \$text + 0);
    srand(20101014);
    push @numbers, map { int(rand(2**32)) * 2**16 + int(rand(2**16)) } 1 .. 300;
    push @numbers, map { int(rand(2**32)) } 1 .. 100;
    my $refused = grep { set('Sec', $_) == 0 } @numbers;
    is($refused, scalar @numbers, scalar(@numbers) . ' numbers refused');
    is(last_error(), 1060, 'GetLastError unchanged');
};

subtest 'strings that are no descriptor' => sub {
    ok(set_error_1060(), 'error set');
    my $sd = get('Sec');
    ok(set_error_1060(), 'error set');
    is(set('Sec', 'not a descriptor'), 0, 'text');
    is(set('Sec', ''), 0, 'empty');
    { no warnings 'uninitialized';
      is(Win32::Servane::SetSecurity('', 'Sec', undef), 0, 'undef'); }
    is(set('Sec', substr($sd, 0, length($sd) - 4)), 0, 'a truncated descriptor');
    is(set('Sec', substr($sd, 0, 19)), 0, 'a header cut short');
    is(set('Sec', [1, 2]), 0, 'an array reference');
    is(last_error(), 1060, 'GetLastError unchanged');
};

subtest 'missing services' => sub {
    ok(!defined get('Missing'), 'GetSecurity gives undef');
    is(last_error(), 1060, 'OpenServiceA\'s error');
    Win32::Servane::CreateService({ name => 'Sec', path => 'C:\\s.exe' });
    is(last_error(), 1073, 'another error set');
    is(set('Missing', get('Sec')), 0, 'SetSecurity gives 0');
    is(last_error(), 1060, 'OpenServiceA\'s error');
};

subtest 'as an unprivileged user' => sub {
    plan skip_all => 'needs root to switch to an unprivileged user' if $> != 0;
    system('chmod', '-R', 'a+rwX', $ENV{WIN32POSIX_ROOT}) == 0 or plan skip_all => 'chmod failed';
    my $code = q{
        use Win32::Servane;
        my $sd = Win32::Servane::GetSecurity('', 'Sec');
        print defined $sd ? "defined\n" : 'undef ' . Win32::Servane::GetLastError() . "\n";
    };
    my $pid = open(my $from, '-|') // die "fork: $!";
    if (!$pid) {
        require POSIX;
        POSIX::setgid(65534);
        POSIX::setuid(65534) or do { print "nouser\n"; POSIX::_exit(0) };
        open STDERR, '>', '/dev/null';
        exec $^X, (map { "-I$_" } grep { !ref } @INC), '-e', $code;
        POSIX::_exit(1);
    }
    my $answer = <$from> // '';
    close $from;
    plan skip_all => 'could not run as nobody' if $answer eq "nouser\n" || $answer eq '';
    # A standard user may not connect to the manager with all access, so the
    # call fails there, before OpenServiceA, and records no error.
    is($answer, "undef 0\n", 'GetSecurity gives undef, GetLastError unchanged');
};

done_testing;
