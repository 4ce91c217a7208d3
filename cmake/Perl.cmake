# Perl extension support: compiler flags for XS code, the build-tree blib
# layout (blib/<Pkg>.pm and blib/auto/<Pkg>/<Name>.so) and installation
# under the install prefix where MakeMaker's INSTALL_BASE puts architecture
# modules: <prefix>/lib/perl5/<archname> (perl -I<prefix>/lib/perl5 or
# PERL5LIB=<prefix>/lib/perl5 finds it). SERVANE_PERL_ARCHDIR changes the
# folder (relative to the prefix, or absolute).

include(${CMAKE_CURRENT_LIST_DIR}/PerlPackage.cmake)
find_program(PERL_EXECUTABLE perl REQUIRED)
find_program(PROVE_EXECUTABLE prove REQUIRED)

function(_perl_config var out)
  execute_process(COMMAND ${PERL_EXECUTABLE} -MConfig -e "print \$Config{${var}}"
                  OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

_perl_config(archlibexp PERL_ARCHLIB)
_perl_config(archname PERL_ARCHNAME)
set(SERVANE_PERL_ARCHDIR "lib/perl5/${PERL_ARCHNAME}" CACHE STRING
    "Where cmake --install puts the Perl extensions (relative to the prefix)")
_perl_config(ccflags PERL_CCFLAGS_STR)
_perl_config(ldflags PERL_LDFLAGS_STR)
set(PERL_CORE_INCLUDE ${PERL_ARCHLIB}/CORE)
separate_arguments(PERL_CCFLAGS UNIX_COMMAND "${PERL_CCFLAGS_STR}")
# Keep the defines Perl was built with (threads, large files); the rest of
# the compile options are ours.
set(PERL_DEFINES)
foreach(flag ${PERL_CCFLAGS})
  if(flag MATCHES "^-D" OR flag STREQUAL "-fwrapv" OR flag STREQUAL "-fno-strict-aliasing")
    list(APPEND PERL_DEFINES ${flag})
  endif()
endforeach()

# Flags and libraries of an embedding program (perl -MExtUtils::Embed -e ldopts).
execute_process(COMMAND ${PERL_EXECUTABLE} -MExtUtils::Embed -e ldopts
                OUTPUT_VARIABLE PERL_EMBED_LDOPTS_STR OUTPUT_STRIP_TRAILING_WHITESPACE)
separate_arguments(PERL_EMBED_LDOPTS UNIX_COMMAND "${PERL_EMBED_LDOPTS_STR}")

# An interface target for code that includes the Perl headers.
add_library(perl_headers INTERFACE)
target_include_directories(perl_headers SYSTEM INTERFACE ${PERL_CORE_INCLUDE})
target_compile_options(perl_headers INTERFACE ${PERL_DEFINES})

# add_perl_extension(<target> PACKAGE <Perl::Package> PM <file.pm> SOURCES <...>)
# Builds blib/auto/<Perl/Package>/<Last>.so exporting only the boot symbols,
# copies the .pm to blib/<Perl/Package>.pm and installs both under
# SERVANE_PERL_ARCHDIR.
function(add_perl_extension target)
  cmake_parse_arguments(ARG "" "PACKAGE;PM" "SOURCES" ${ARGN})
  perl_package_names(${ARG_PACKAGE})

  add_library(${target} MODULE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE perl_headers)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${target}.map)
  file(WRITE ${map} "{ global: boot_${boot_name}; _boot_${boot_name}; local: *; };\n")
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${pkg_last}
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${SUITE_BLIB}/auto/${pkg_path}
    LINK_DEPENDS ${map})
  target_link_options(${target} PRIVATE -Wl,--version-script=${map})

  set(pm_out ${SUITE_BLIB}/${pkg_path}.pm)
  add_custom_command(OUTPUT ${pm_out}
    COMMAND ${CMAKE_COMMAND} -E copy ${ARG_PM} ${pm_out}
    DEPENDS ${ARG_PM} VERBATIM)
  add_custom_target(${target}_pm ALL DEPENDS ${pm_out})
  add_dependencies(${target} ${target}_pm)

  install(TARGETS ${target} LIBRARY DESTINATION ${SERVANE_PERL_ARCHDIR}/auto/${pkg_path})
  install(FILES ${ARG_PM} DESTINATION ${SERVANE_PERL_ARCHDIR}/${pkg_dir})
endfunction()

if(SANITIZE)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE ASAN_RUNTIME OUTPUT_STRIP_TRAILING_WHITESPACE)
  get_filename_component(ASAN_RUNTIME "${ASAN_RUNTIME}" REALPATH)
endif()

# add_prove_test(<name> <dir-with-t-files> [ENV k=v ...] [PERL <interpreter>])
function(add_prove_test name dir)
  cmake_parse_arguments(ARG "" "PERL" "ENV;INCLUDES" ${ARGN})
  set(exec_args)
  if(ARG_PERL)
    set(exec_args --exec ${ARG_PERL})
  endif()
  set(inc -I${SUITE_BLIB})
  foreach(i ${ARG_INCLUDES})
    list(APPEND inc -I${i})
  endforeach()
  add_test(NAME ${name}
    COMMAND ${PROVE_EXECUTABLE} ${exec_args} ${inc} ${dir})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};SOURCE_DIR=${CMAKE_SOURCE_DIR};${ARG_ENV}")
  if(SANITIZE)
    # The system perl is not built with the sanitizer runtime: preloaded, it
    # comes first, as an extension built with it requires. Perl frees little
    # at exit, so leaks are not reported for these tests.
    set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT "LD_PRELOAD=${ASAN_RUNTIME}")
    set_property(TEST ${name} PROPERTY ENVIRONMENT_MODIFICATION
      "ASAN_OPTIONS=string_append::detect_leaks=0")
  endif()
endfunction()

# add_distribution_tests(<name> <test-file>): <name>_distribution builds the
# Perl distribution in this folder with its Makefile.PL in a clean copy
# (scripts/check-distribution.pl); <name>_prove runs `prove -b <test-file>`
# from the folder with no BUILD_DIR, as a user would after building into
# build/ (only then can the tests find the build by themselves).
function(add_distribution_tests name test_file)
  if(SANITIZE OR SANITIZE_THREAD)
    return() # a MakeMaker build with the system perl: nothing instrumented
  endif()
  add_test(NAME ${name}_distribution
    COMMAND ${PERL_EXECUTABLE} ${CMAKE_SOURCE_DIR}/scripts/check-distribution.pl
      ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR} ${test_file})
  set_tests_properties(${name}_distribution PROPERTIES TIMEOUT 900 LABELS ${name})
  if(CMAKE_BINARY_DIR STREQUAL "${CMAKE_SOURCE_DIR}/build")
    add_test(NAME ${name}_prove
      COMMAND ${CMAKE_COMMAND} -E env --unset=BUILD_DIR --unset=PERL5LIB
        ${PROVE_EXECUTABLE} -b ${test_file}
      WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR})
    set_tests_properties(${name}_prove PROPERTIES LABELS ${name})
  endif()
endfunction()
