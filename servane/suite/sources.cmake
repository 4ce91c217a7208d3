# The behavioural suite's sources, shared by the Linux build (over the
# Windows layer, with platform_layer.cpp) and the Windows build (with
# platform_windows.cpp). SERVANE_SUITE_RUN_SOURCES (running the service
# program, without the tests) also serve the Wine benchmark.
set(SERVANE_SUITE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(SERVANE_SUITE_RUN_SOURCES ${SERVANE_SUITE_DIR}/service_run.cpp)
set(SERVANE_SUITE_SOURCES
  ${SERVANE_SUITE_RUN_SOURCES}
  ${SERVANE_SUITE_DIR}/main.cpp
  ${SERVANE_SUITE_DIR}/suite_common.cpp
  ${SERVANE_SUITE_DIR}/test_admin.cpp
  ${SERVANE_SUITE_DIR}/test_control.cpp
  ${SERVANE_SUITE_DIR}/test_runtime.cpp
  ${SERVANE_SUITE_DIR}/test_winstation.cpp)
set(SERVANE_SUITE_SERVICE_SOURCES ${SERVANE_SUITE_DIR}/service_main.cpp)
