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

# vorn_check_runs(VAR [FLAGS...]) sets VAR when a small C program built with
# FLAGS runs here.  A kernel without i386 support (no IA32 emulation) runs no
# -m32 program.  (CMake's own try_run crashes on such a kernel, so the
# program is built with try_compile and run through the shell.)
function(vorn_check_runs var)
  if(DEFINED ${var})
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/CMakeFiles/${var})
  file(WRITE ${dir}/runs.c "int main(void) { return 0; }\n")
  try_compile(built ${dir}/build SOURCES ${dir}/runs.c
              COMPILE_DEFINITIONS ${ARGN} LINK_OPTIONS ${ARGN} COPY_FILE ${dir}/runs)
  set(rc 1)
  if(built)
    execute_process(COMMAND sh -c "exec \"$0\"" ${dir}/runs
                    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(rc EQUAL 0)
    set(${var} ON CACHE INTERNAL "")
  else()
    set(${var} OFF CACHE INTERNAL "")
  endif()
endfunction()

# How the tests run i386 programs (the i386 tree's tests, and the x86-64
# tree's i386 probe): natively where the kernel can, otherwise under a
# user-mode emulator, qemu-i386 (Debian's qemu-user).  VORN_I386_EMULATOR
# names an emulator to use even where the kernel could run them, so both
# ways can be tried on one machine.  VORN_I386_RUNNER is then the emulator's
# path (empty: natively) and VORN_I386_ROUTE says which way, for the name of
# the test that shows it.  The tests find the emulator in their environment
# (VORN_I386_EMULATOR) and put it before each i386 program they start.
set(VORN_I386_EMULATOR "" CACHE STRING "emulator for i386 programs (empty: natively where possible)")
set(VORN_I386_RUNNER "")
set(VORN_I386_ROUTE "")
set(VORN_TEST_ENV "")
if(NOT VORN_SANITIZE)
  set(emulator ${VORN_I386_EMULATOR})
  if(NOT emulator)
    vorn_check_runs(VORN_I386_NATIVE -m32)
    if(NOT VORN_I386_NATIVE)
      set(emulator qemu-i386)
    endif()
  endif()
  if(emulator)
    find_program(runner NAMES ${emulator} NO_CACHE)
    set(VORN_I386_RUNNER ${runner})
    if(NOT runner)
      message(FATAL_ERROR "i386 programs need the emulator ${emulator} here "
                          "(Debian's qemu-user: scripts/deps.sh test)")
    endif()
    get_filename_component(name ${VORN_I386_RUNNER} NAME)
    set(VORN_I386_ROUTE "under_${name}")
    set(VORN_TEST_ENV "VORN_I386_EMULATOR=${VORN_I386_RUNNER}")
  else()
    set(VORN_I386_ROUTE natively)
  endif()
  string(REPLACE "_" " " route "${VORN_I386_ROUTE}")
  set(VORN_I386_ROUTE_SHOWN "${route}" CACHE INTERNAL "how the tests run i386 programs")
  message(STATUS "The tests run i386 programs ${route}")
endif()

# vorn_add_gtest(NAME SOURCES a.cc b.cc LIBS x y [STAGE] [TIMEOUT s] [COST s])
# builds a GoogleTest program linked with the test utilities and registers
# each of its tests with CTest (label "cpp").  STAGE makes the tests wait
# for the staged installation under build/stage.  COST, the seconds a test
# takes, has CTest start the long ones first (before it has timed a run).
function(vorn_add_gtest name)
  cmake_parse_arguments(T "STAGE" "TIMEOUT;COST" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE vorn_testutil ${T_LIBS} GTest::gtest_main)
  if(VORN_I386 AND VORN_I386_RUNNER)
    # Listing the tests and running them go through the emulator.
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR ${VORN_I386_RUNNER})
  endif()
  set(props LABELS cpp TIMEOUT ${T_TIMEOUT})
  if(T_COST)
    list(APPEND props COST ${T_COST})
  endif()
  if(VORN_TEST_ENV)
    list(APPEND props ENVIRONMENT ${VORN_TEST_ENV})
  endif()
  if(T_STAGE)
    list(APPEND props FIXTURES_REQUIRED stage)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
