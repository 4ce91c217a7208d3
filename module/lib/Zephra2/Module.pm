package Zephra2::Module;

use strict;
use warnings;

our $VERSION = '2.000004';

require XSLoader;
XSLoader::load(__PACKAGE__, $VERSION);

1;

__END__

=head1 NAME

Zephra2::Module - the server's module list and Perl-defined modules, from Perl

=head1 SYNOPSIS

    use Zephra2::Module;

    # every module of the server, first to last
    for (my $m = Zephra2::Module::top_module(); $m; $m = $m->next) {
        printf "%3d %s\n", $m->module_index, $m->name;
    }

    my $core = Zephra2::Module::find_linked_module('core.c');
    print "has mod_echo\n"      if Zephra2::Module::loaded('mod_echo.c');
    print "mod_echo is a DSO\n" if Zephra2::Module::loaded('mod_echo.so');
    print "CGI is loaded\n"     if Zephra2::Module::loaded('CGI');

    # a module whose directives are defined in Perl
    Zephra2::Module::add(__PACKAGE__, [
        { name => 'MyParameter', args_how => 'TAKE1',
          errmsg => 'MyParameter value' },
    ]);

    # its configuration object for a server (and a configuration vector)
    my $cfg = Zephra2::Module::get_config(__PACKAGE__, $s);
    my $dir = Zephra2::Module::get_config(__PACKAGE__, $s, $v);

=head1 DESCRIPTION

This package runs inside the HTTP server, in the Perl interpreter that the
server's Perl-embedding module quillet hosts. Its library binds to the
server's own functions when it is loaded, so it loads only inside the server
(or C<zephra-host>); a plain C<perl> stops at C<use> with the name of the
missing server symbol.

Server records reach Perl as objects: references, blessed into a class, to a
scalar that holds the record's address. C<Zephra2::Module> wraps a module
record and C<Zephra2::Command> a module's directive table (this package makes
both); C<Zephra2::ServerRec> and C<Zephra2::ConfVector> come from quillet. The
objects own nothing; a record lives as long as the server keeps it.

Every function reads the server's records afresh. Misuse stops the call with
an exception that carries the caller's position.

=head1 FUNCTIONS

=over 4

=item top_module()

The first module of the server's list, or undef when the list is empty.

=item next($mod)

The module after C<$mod>, or undef after the last one.

=item find_linked_module($name)

The module of that name (such as C<"core.c">), or undef.

=item name($mod), module_index($mod), zp_api_major_version($mod), zp_api_minor_version($mod)

The record's name (undef when it has none), its module index and the
interface version it was built for.

=item cmds($mod)

The module's directive table as a C<Zephra2::Command> object, or undef when
the module has none.

=item loaded($name)

A name without a dot is a Perl package: nonzero when it is loaded. Otherwise
the part before the first dot, followed by C<.c>, is looked up in the
server's list: a name with C<c> right after the dot (C<alpha.c>) is 1 when
the server has the module; C<alpha.so> is 1 when the module was also loaded
from a shared object at run time; anything else is 0.

=item add($package, \@cmds)

Registers a server module named C<$package> whose directives are described
by the hash references in C<@cmds>. An array reference is required
("Usage: Zephra2::Module::add(__PACKAGE__, [])"); an error of quillet stops
the call with "Zephra2::Module::add(PACKAGE) failed : TEXT".

=item get_config($pmodule, $s [, $v])

The configuration object that quillet keeps for the Perl-defined module
C<$pmodule> (a package name or an object of the package) for server C<$s>,
or for configuration vector C<$v> when given. This is quillet's own scalar,
not a copy. undef when quillet has none.

=item remove_loaded_module($mod)

Takes the module out of the server's list of loaded modules.

=back

=head1 DIAGNOSTICS

=over 4

=item Usage: Zephra2::Module::FUNCTION(PARAMETERS)

Wrong number of arguments.

=item Zephra2::Module::FUNCTION: PARAMETER is not of type CLASS

An object argument is not a reference to an object of that class, or it is
one that holds no record (address 0).

=item Zephra2::Module object version V does not match ...

The library and the package disagree on the version.

=back

=cut
