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
    message(STATUS "Programs built with '${ARGN}' run here")
    set(${var} ON CACHE INTERNAL "")
  else()
    message(STATUS "Programs built with '${ARGN}' do not run here")
    set(${var} OFF CACHE INTERNAL "")
  endif()
endfunction()

# The i386 tree builds every test; where its programs cannot run, each is
# registered as skipped, with the reason.
if(VORN_I386)
  vorn_check_runs(VORN_RUNS_PROGRAMS)
else()
  set(VORN_RUNS_PROGRAMS ON)
endif()
set(VORN_NOT_RUN_REASON "this kernel cannot run i386 programs: built, not run")

# vorn_skip_test(NAME) registers NAME as a test that is skipped for the
# reason above (exit status 77).
function(vorn_skip_test name)
  add_test(NAME ${name} COMMAND sh -c "echo '${name}: ${VORN_NOT_RUN_REASON}'; exit 77")
  set_tests_properties(${name} PROPERTIES SKIP_RETURN_CODE 77 LABELS cpp)
endfunction()

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
  if(NOT VORN_RUNS_PROGRAMS)
    vorn_skip_test(${name})
    return()
  endif()
  set(props LABELS cpp TIMEOUT ${T_TIMEOUT})
  if(T_STAGE)
    list(APPEND props FIXTURES_REQUIRED stage)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()
