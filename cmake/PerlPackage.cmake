# Helpers for Perl packages shared by the Linux build and the Windows DLL
# build (servane/winperl, a project of its own).

# perl_pm_version(<file.pm> <var>): the package's version, from its
# `our $VERSION = '...';` line; CMake configures again when the file changes.
function(perl_pm_version pm var)
  file(STRINGS ${pm} line REGEX "^our \\$VERSION = ")
  string(REGEX REPLACE ".*'(.*)'.*" "\\1" version "${line}")
  if(NOT version)
    message(FATAL_ERROR "${pm}: no line our $VERSION = '...';")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pm})
  set(${var} ${version} PARENT_SCOPE)
endfunction()

# perl_package_names(<Perl::Package>): sets, in the caller, pkg_path
# (Perl/Package), pkg_dir (Perl), pkg_last (Package) and boot_name
# (Perl__Package, the bootstrap being boot_<boot_name>).
function(perl_package_names package)
  string(REPLACE "::" "/" path "${package}")
  string(REPLACE "::" "__" boot "${package}")
  get_filename_component(last ${path} NAME)
  get_filename_component(dir ${path} DIRECTORY)
  set(pkg_path ${path} PARENT_SCOPE)
  set(pkg_dir "${dir}" PARENT_SCOPE)
  set(pkg_last ${last} PARENT_SCOPE)
  set(boot_name ${boot} PARENT_SCOPE)
endfunction()
