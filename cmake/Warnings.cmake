# Warnings for the project's own targets. Call kvl_warnings(<target>) on each. The build is
# warning-free; CI (test.sh with CI set) turns warnings into errors with KVL_WERROR.
option(KVL_WERROR "Treat warnings of the project's own targets as errors" OFF)
function(kvl_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wno-unused-parameter
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual -Wno-missing-field-initializers>
    $<$<BOOL:${KVL_WERROR}>:-Werror>)
endfunction()

# Links drop the one understood linker warning about the two libcrypto libraries (see the script).
set_property(GLOBAL PROPERTY RULE_LAUNCH_LINK "${CMAKE_CURRENT_LIST_DIR}/link-quietly.sh")

# kvl_library(<name> SOURCES ... DEPS ...): a static library of the project.
function(kvl_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  kvl_warnings(${name})
endfunction()

# kvl_test(<name> SOURCES ... DEPS ... [TIMEOUT seconds]): one GoogleTest binary, registered
# with CTest. TIMEOUT replaces the run's default limit for each of its tests: for suites whose
# tests drive real processes through work that takes minutes under the sanitizers on a busy
# machine.
function(kvl_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  kvl_warnings(${name})
  set(timeout)
  if(ARG_TIMEOUT)
    set(timeout TIMEOUT ${ARG_TIMEOUT})
  endif()
  # Where tests find their data files and the tools the build made.
  target_compile_definitions(${name} PRIVATE
    KVL_SOURCE_DIR="${CMAKE_SOURCE_DIR}" KVL_BINARY_DIR="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    # A test that never sets its own app container lands in the build tree, never in the
    # user's home. (One variable only: gtest_discover_tests splits list values.)
    # The binary's name is its tests' label: `ctest -L <binary>` runs one suite whatever
    # its tests are called (the fault sample of scripts/faults relies on it).
    # Every test runs under the watch of the default ports (tests/CMakeLists.txt).
    PROPERTIES ENVIRONMENT "XDG_DATA_HOME=${CMAKE_BINARY_DIR}/test-data-home" LABELS ${name}
               FIXTURES_REQUIRED kvl_default_ports ${timeout}
    DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()

# kvl_fuzz_replay(<name> HARNESS <file> DEPS ... INPUTS <file or folder> ...): the libFuzzer
# harness as a plain program that replays the committed corpora and regressions, registered
# with CTest, so that the sanitizer build checks every kept input on each run.
function(kvl_fuzz_replay name)
  cmake_parse_arguments(ARG "" "HARNESS" "DEPS;INPUTS" ${ARGN})
  add_executable(${name} ${ARG_HARNESS} ${CMAKE_SOURCE_DIR}/tests/support/FuzzReplayMain.cc)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  kvl_warnings(${name})
  add_test(NAME ${name} COMMAND ${name} ${ARG_INPUTS})
  kvl_watch_default_ports(${name})
endfunction()

# kvl_watch_default_ports(<test>...): tests registered with add_test run under the watch of
# the local services' default ports, as kvl_test's do: the suite fails when any of them
# reaches a port it did not open there (tests/support/DefaultPortGuard.cc).
function(kvl_watch_default_ports)
  set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED kvl_default_ports)
endfunction()

# kvl_bench(<name> SOURCES ... DEPS ...): one Google Benchmark program.
function(kvl_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  kvl_warnings(${name})
endfunction()
