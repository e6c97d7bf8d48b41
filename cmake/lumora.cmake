# Helpers shared by every folder's CMakeLists.txt.

# lumora_subdirectories(): add every direct subfolder that has a CMakeLists.txt.
function(lumora_subdirectories)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child}
       AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# lumora_library(name [DIRS dir...] [DEPS target...] [PRIVATE_DEPS target...])
# A static library of every .cpp/.c in the given folders (default: the current folder).
# Headers are included from the repository root: #include "platform/foundation/Value.h".
function(lumora_library name)
  cmake_parse_arguments(A "" "" "DIRS;DEPS;PRIVATE_DEPS" ${ARGN})
  if(NOT A_DIRS)
    set(A_DIRS ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  set(srcs)
  foreach(d ${A_DIRS})
    if(NOT IS_ABSOLUTE ${d})
      set(d ${CMAKE_CURRENT_SOURCE_DIR}/${d})
    endif()
    file(GLOB s CONFIGURE_DEPENDS ${d}/*.cpp ${d}/*.c)
    list(APPEND srcs ${s})
  endforeach()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${A_DEPS} Threads::Threads PRIVATE ${A_PRIVATE_DEPS})
endfunction()

# lumora_tests([DEPS target...]): one GoogleTest executable per .cpp in the current folder,
# named test_<folder path with _>_<file>; every test case runs in its own process.
# In the sanitizer build, leak checking is on with the suppressions of testing/lsan.supp
# (third-party process-lifetime caches only). The options are compiled in, because a second
# variable in the tests' ENVIRONMENT property would be split off as a property of its own,
# and so that running a test executable by hand checks the same way.
# Written only when it changes, so that configuring again relinks no test.
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/lumora_test_asan_options.c
     CONTENT "const char* __lsan_default_options(void) {\n  return \"suppressions=${PROJECT_SOURCE_DIR}/testing/lsan.supp:print_suppressions=0\";\n}\n")

# all_tests builds every test program (and what it links), without the benchmarks, tools and
# demo: the Release test stages need nothing else.
add_custom_target(all_tests)

function(lumora_tests)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR}/tests ${CMAKE_CURRENT_SOURCE_DIR})
  string(REPLACE "/" "_" prefix "${rel}")
  file(GLOB files CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(f ${files})
    get_filename_component(stem ${f} NAME_WE)
    set(exe test_${prefix}_${stem})
    add_executable(${exe} ${f} ${PROJECT_BINARY_DIR}/lumora_test_asan_options.c)
    target_link_libraries(${exe} PRIVATE ${A_DEPS} GTest::gtest_main GTest::gmock)
    add_dependencies(all_tests ${exe})
    gtest_discover_tests(${exe}
      DISCOVERY_TIMEOUT 120
      PROPERTIES TIMEOUT 300
                 ENVIRONMENT "LUMORA_TEST_OUTPUT=${CMAKE_BINARY_DIR}/test-output")
  endforeach()
endfunction()

# lumora_bench(name source... DEPS target...): a Google Benchmark program.
function(lumora_bench name)
  cmake_parse_arguments(A "" "" "DEPS" ${ARGN})
  add_executable(${name} ${A_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${A_DEPS} benchmark::benchmark)
endfunction()
