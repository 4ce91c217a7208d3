package Win32::Acloria;
# A small security-descriptor object for the tests of Win32::Servane: it
# holds a self-relative descriptor and hands out its address from GetSD, the
# contract SetSecurity relies on.
use strict;
use warnings;

our $VERSION = '0.01';

use constant {
    SE_DACL_PRESENT  => 0x0004,
    SE_SACL_PRESENT  => 0x0010,
    SE_SELF_RELATIVE => 0x8000,
    ACL_REVISION     => 2,
    ACCESS_ALLOWED   => 0,
    ACCESS_DENIED    => 1,
    SYSTEM_AUDIT     => 2,
};

# new($bytes): an object holding the given self-relative descriptor bytes.
sub new {
    my ($class, $bytes) = @_;
    die "Win32::Acloria->new: descriptor bytes needed\n" unless defined $bytes;
    return bless { sd => "$bytes" }, $class;
}

# build(owner => $sid, group => $sid, dacl => [ACE...], sacl => [ACE...]):
# an object holding a descriptor made of those parts; each ACE is
# [type, flags, mask, $sid]. A list given as undef is absent.
sub build {
    my ($class, %part) = @_;
    return $class->new(descriptor(%part));
}

# The address of the held descriptor; valid while the object lives and is
# not changed.
sub GetSD {
    my ($self) = @_;
    return unpack('J', pack('p', $self->{sd}));
}

sub Bytes { $_[0]{sd} }

# SID bytes from their text form, "S-1-5-18".
sub sid {
    my ($text) = @_;
    my ($rev, $auth, @subs) = $text =~ /^S-(\d+)-(\d+)((?:-\d+)*)$/
        ? ($1, $2, grep { length } split /-/, $3)
        : die "Win32::Acloria::sid: not a SID: $text\n";
    return pack('C C', $rev, scalar @subs) . pack('x2 N', $auth) . pack('V*', @subs);
}

# An ACL of the given ACEs, revision 2.
sub acl {
    my (@aces) = @_;
    my $body = '';
    for my $ace (@aces) {
        my ($type, $flags, $mask, $sid) = @$ace;
        $body .= pack('C C v V', $type, $flags, 8 + length $sid, $mask) . $sid;
    }
    return pack('C x v v x2', ACL_REVISION, 8 + length $body, scalar @aces) . $body;
}

# A self-relative descriptor: the 20-byte header, then owner, group, SACL
# and DACL.
sub descriptor {
    my (%part) = @_;
    my $control = SE_SELF_RELATIVE;
    my @blobs = (
        $part{owner},
        $part{group},
        defined $part{sacl} ? acl(@{ $part{sacl} }) : undef,
        defined $part{dacl} ? acl(@{ $part{dacl} }) : undef,
    );
    $control |= SE_SACL_PRESENT if defined $part{sacl};
    $control |= SE_DACL_PRESENT if defined $part{dacl};
    my $body   = '';
    my @offset = (0) x 4;
    for my $i (0 .. 3) {
        next unless defined $blobs[$i];
        $offset[$i] = 20 + length $body;
        $body .= $blobs[$i];
    }
    return pack('C x v V4', 1, $control, @offset) . $body;
}

1;
