# Win32::Servane in a Windows Perl: for each width, a test that builds the
# Perl tree with Servane.dll and Control.dll (scripts/winperl-tree.sh; the
# Perl itself comes from the cache of scripts/build-windows-perl.sh), tests
# that check each DLL's exports and imports on the build machine, and tests that run under Wine
# with that Perl. The 32-bit ones under Wine report "skipped" (exit 77)
# where the kernel does not run i386 programs; the 32-bit build still runs.
if(SANITIZE OR SANITIZE_THREAD) # nothing here is instrumented: the main build runs it
  return()
endif()
find_program(MINGW64_GCC x86_64-w64-mingw32-gcc-win32)
find_program(MINGW32_GCC i686-w64-mingw32-gcc-win32)

set(_winperl_tests
  constants ${CMAKE_SOURCE_DIR}/servane/t/01-constants.t
  bootstrap ${CMAKE_SOURCE_DIR}/servane/t/02-bootstrap.t
  polling   ${CMAKE_CURRENT_LIST_DIR}/t/40-polling-service.t
  callback  ${CMAKE_CURRENT_LIST_DIR}/t/41-callback-service.t
  admin     ${CMAKE_CURRENT_LIST_DIR}/t/42-service-admin.t
  control   ${CMAKE_CURRENT_LIST_DIR}/t/43-control.t)

foreach(width 64 32)
  if(width EQUAL 64)
    set(gcc ${MINGW64_GCC})
    set(triplet x86_64-w64-mingw32)
  else()
    set(gcc ${MINGW32_GCC})
    set(triplet i686-w64-mingw32)
  endif()
  set(objdump ${triplet}-objdump)
  # The DLL is built with the project's toolchain file for that width.
  if(NOT gcc OR NOT EXISTS ${CMAKE_SOURCE_DIR}/cmake/toolchain-${triplet}.cmake)
    continue()
  endif()
  set(tree ${CMAKE_BINARY_DIR}/winperl${width})

  add_test(NAME servane_winperl${width}_build
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/winperl-tree.sh ${width} ${tree})
  set_tests_properties(servane_winperl${width}_build PROPERTIES
    FIXTURES_SETUP winperl${width} TIMEOUT 3600 LABELS "servane;winperl")

  foreach(ext Servane Control)
    set(package Win32::Servane)
    set(dll ${tree}/site/lib/auto/Win32/Servane/Servane.dll)
    if(ext STREQUAL Control)
      set(package Win32::Servane::Control)
      set(dll ${tree}/site/lib/auto/Win32/Servane/Control/Control.dll)
    endif()
    string(TOLOWER ${ext} lower)
    add_test(NAME servane_winperl${width}_${lower}_exports
      COMMAND ${PERL_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/t/pe-check.pl ${objdump} ${dll} ${package})
    set_tests_properties(servane_winperl${width}_${lower}_exports PROPERTIES
      FIXTURES_REQUIRED winperl${width} LABELS "servane;winperl")
  endforeach()

  list(LENGTH _winperl_tests n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    math(EXPR j "${i} + 1")
    list(GET _winperl_tests ${i} what)
    list(GET _winperl_tests ${j} script)
    set(name servane_wine${width}_perl_${what})
    add_test(NAME ${name}
      COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine-perl.sh -${width} --fresh ${script})
    set_tests_properties(${name} PROPERTIES
      FIXTURES_REQUIRED winperl${width} SKIP_RETURN_CODE 77 TIMEOUT 900
      ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};SOURCE_DIR=${CMAKE_SOURCE_DIR}"
      LABELS "servane;winperl;wine${width}")
  endforeach()
endforeach()
