package Win32::Servane::Control;

use strict;
use warnings;

our $VERSION = '1.00';

require Exporter;
require XSLoader;
our @ISA = qw(Exporter);

# Nothing by default: the names are short and common.
our @EXPORT_OK = qw(
  start stop pause resume interrogate control
  status wait_for
  is_service last_error
);
our %EXPORT_TAGS = (all => [@EXPORT_OK]);

XSLoader::load(__PACKAGE__, $VERSION);

1;

__END__

=head1 NAME

Win32::Servane::Control - start, stop, query and wait for services from Perl

=cut
