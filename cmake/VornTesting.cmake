# GoogleTest in both trees and the helper that registers a test program.
# The x86-64 tree uses the installed GoogleTest; the i386 tree builds it
# from /usr/src/googletest.
if(VORN_I386)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources do not build with our warning set.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  # GoogleTest's own build defines GTest::gtest and GTest::gtest_main.
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# vorn_add_gtest(NAME SOURCES a.cc b.cc LIBS x y [STAGE] [TIMEOUT s])
# builds a GoogleTest program linked with the test utilities and registers
# each of its tests with CTest (label "cpp").  STAGE makes the tests wait
# for the staged installation under build/stage.
function(vorn_add_gtest name)
  cmake_parse_arguments(T "STAGE" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vorn_testutil ${T_LIBS} GTest::gtest_main)
  set(props LABELS cpp TIMEOUT ${T_TIMEOUT})
  if(T_STAGE)
    list(APPEND props FIXTURES_REQUIRED stage)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
