# Warnings for the project's own targets. Call kvl_warnings(<target>) on each.
function(kvl_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wno-unused-parameter
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Woverloaded-virtual -Wno-missing-field-initializers>)
endfunction()

# kvl_library(<name> SOURCES ... DEPS ...): a static library of the project.
function(kvl_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  kvl_warnings(${name})
endfunction()

# kvl_test(<name> SOURCES ... DEPS ...): one GoogleTest binary, registered with CTest.
function(kvl_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gmock GTest::gtest_main)
  kvl_warnings(${name})
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    PROPERTIES ENVIRONMENT "KVL_SOURCE_DIR=${CMAKE_SOURCE_DIR};KVL_BINARY_DIR=${CMAKE_BINARY_DIR}"
    DISCOVERY_TIMEOUT 60)
endfunction()

# kvl_bench(<name> SOURCES ... DEPS ...): one Google Benchmark program.
function(kvl_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} benchmark::benchmark)
  kvl_warnings(${name})
endfunction()
