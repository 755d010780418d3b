# Shared build rules: warnings, sanitizers, test registration, Windows link flags.

if(WIN32)
  set(TOVRA_WINDOWS ON)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00)
  # Static runtime: nothing for Wine (or a user's machine) to look up at load time.
  add_link_options(-static -static-libgcc -static-libstdc++)
else()
  set(TOVRA_WINDOWS OFF)
endif()

if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion)
endif()

if(SANITIZE AND NOT TOVRA_WINDOWS)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TOVRA_FUZZ AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(WARNING "fuzz targets need clang; TOVRA_FUZZ ignored")
  set(TOVRA_FUZZ OFF)
endif()

# Every native object carries the fuzzer's coverage counters: a fuzz target links
# libraries, and without them libFuzzer would be guided by the branches of the
# target's own source alone, blind to the parser it drives.
if(TOVRA_FUZZ AND NOT TOVRA_WINDOWS)
  add_compile_options(-fsanitize=fuzzer-no-link)
  add_link_options(-fsanitize=fuzzer-no-link)
endif()

# GoogleTest: the system package natively, built from Debian's sources for MinGW.
if(TOVRA_WINDOWS)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
else()
  find_package(GTest REQUIRED)
endif()

if(TOVRA_BENCH)
  find_package(benchmark REQUIRED)
endif()

# Warnings as errors for our own code (GoogleTest, added above, is not ours).
if(TOVRA_WERROR AND CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
  add_compile_options(-Werror)
endif()

set(TOVRA_TEST_RESULTS ${CMAKE_BINARY_DIR}/test-results)
file(MAKE_DIRECTORY ${TOVRA_TEST_RESULTS})

# tovra_add_test(name SOURCES a.cpp b.cpp LIBS lib1 lib2 [PROGRAM prog] [LABELS l]
#                [TIMEOUT s] [ARGS extra])
# One ctest entry running GoogleTest cases; each run leaves a JUnit-style XML
# report in test-results/ so scripts/test can count individual test cases.
# Without PROGRAM the entry has an executable of its own, named after it. With
# PROGRAM the sources join that executable (one per folder: most of a test
# file's compile time is the headers every test file reads, so a folder's test
# files are compiled as one), and the entry runs the suites its own sources
# define through --gtest_filter. A suite named by two entries of one program is
# an error, and so is an entry that defines none.
function(tovra_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;PROGRAM" "SOURCES;LIBS;LABELS;ARGS" ${ARGN})
  set(program ${name})
  set(filter "")
  if(T_PROGRAM)
    set(program ${T_PROGRAM})
    tovra_test_suites(suites ${name} ${program} ${T_SOURCES})
    list(JOIN suites ":" filter)
    # An entry's own negative filter narrows its suites.
    set(args "")
    foreach(arg IN LISTS T_ARGS)
      if(arg MATCHES "^--gtest_filter=-(.*)$")
        string(APPEND filter "-${CMAKE_MATCH_1}")
      else()
        list(APPEND args ${arg})
      endif()
    endforeach()
    set(T_ARGS ${args})
    set(filter --gtest_filter=${filter})
  endif()
  tovra_test_program(${program})
  target_sources(${program} PRIVATE ${T_SOURCES})
  target_link_libraries(${program} PRIVATE ${T_LIBS})
  set(report ${TOVRA_TEST_RESULTS}/${name}.xml)
  if(TOVRA_WINDOWS)
    set(report "Z:${report}")  # Wine maps the Linux root to drive Z:
  endif()
  add_test(NAME ${name} COMMAND ${program} ${filter} ${T_ARGS} --gtest_output=xml:${report})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT} LABELS "${T_LABELS}")
endfunction()

# tovra_test_program(name): a GoogleTest executable that entries of
# tovra_add_test join with PROGRAM; made here unless it exists. Made ahead of its
# entries, it lives in the folder that makes it.
function(tovra_test_program name)
  if(TARGET ${name})
    return()
  endif()
  add_executable(${name})
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock)
  if(TOVRA_FUZZ AND NOT TOVRA_WINDOWS)
    # A test's own code guides no fuzzer: no coverage counters (a fifth of its
    # compile time); the libraries it links keep theirs.
    target_compile_options(${name} PRIVATE -fno-sanitize=fuzzer-no-link)
  endif()
endfunction()

# tovra_test_suites(out entry program sources...): the GoogleTest filter patterns
# of the suites the sources define (TEST, TEST_F, TEST_P and their typed forms,
# the suite's name on the macro's line). A parameterised suite also matches under
# its instantiation prefix. Configuring again when a source changes keeps the
# filters in step with the files.
function(tovra_test_suites out entry program)
  get_property(taken GLOBAL PROPERTY TOVRA_SUITES_${program})
  set(suites "")
  set(patterns "")
  foreach(src IN LISTS ARGN)
    if(NOT src MATCHES "\\.(cpp|cc)$")
      continue()
    endif()
    get_filename_component(path ${src} ABSOLUTE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
    file(STRINGS ${path} lines
      REGEX "^[ \t]*(TEST|TEST_F|TEST_P|TYPED_TEST|TYPED_TEST_P)\\([ \t]*[A-Za-z_][A-Za-z0-9_]*")
    foreach(line IN LISTS lines)
      string(REGEX MATCH "\\([ \t]*([A-Za-z_][A-Za-z0-9_]*)" _ "${line}")
      set(suite ${CMAKE_MATCH_1})
      if(suite IN_LIST suites)
        continue()
      endif()
      if(suite IN_LIST taken)
        message(FATAL_ERROR "test suite ${suite} of ${entry} is also defined by another entry of ${program}")
      endif()
      list(APPEND suites ${suite})
      list(APPEND patterns "${suite}.*")
      if(line MATCHES "TEST_P\\(")
        list(APPEND patterns "*/${suite}.*")
      endif()
    endforeach()
  endforeach()
  if(NOT suites)
    message(FATAL_ERROR "${entry}: no test suite found in its sources")
  endif()
  set_property(GLOBAL APPEND PROPERTY TOVRA_SUITES_${program} ${suites})
  set(${out} ${patterns} PARENT_SCOPE)
endfunction()

# tovra_wine_machine(test... [COST seconds])
# For Windows tests that change what is machine-wide inside a Wine prefix: the
# Service's and the Agent's pipe names, services, HKLM, processes found by name,
# the shared log files. Each such test takes one of TOVRA_WINE_MACHINES prefixes of
# its own for its whole run, handed out by ctest as the resource "wineprefix"
# (scripts/wine-env.sh turns the id ctest gives into build/wineprefix-<id>), so
# several of them run at once without meeting. ctest hands resources out only
# when given wine-machines.json; the windows test preset passes it. COST is the
# test's usual run time in seconds: ctest starts the longest first, also on a
# fresh clone that has no timings of its own yet.
set(TOVRA_WINE_MACHINES 5 CACHE STRING "Wine prefixes for tests that change machine-wide state")
if(TOVRA_WINDOWS)
  set(machines "")
  foreach(i RANGE 1 ${TOVRA_WINE_MACHINES})
    list(APPEND machines "{ \"id\": \"${i}\", \"slots\": 1 }")
  endforeach()
  list(JOIN machines ", " machines)
  file(WRITE ${CMAKE_BINARY_DIR}/wine-machines.json
    "{ \"version\": { \"major\": 1, \"minor\": 0 },\n  \"local\": [ { \"wineprefix\": [ ${machines} ] } ] }\n")
endif()
function(tovra_wine_machine)
  cmake_parse_arguments(M "" "COST" "" ${ARGN})
  set_tests_properties(${M_UNPARSED_ARGUMENTS} PROPERTIES RESOURCE_GROUPS "wineprefix:1")
  if(M_COST)
    set_tests_properties(${M_UNPARSED_ARGUMENTS} PROPERTIES COST ${M_COST})
  endif()
endfunction()

# tovra_add_fuzzer(name SOURCES a.cpp LIBS lib1)
function(tovra_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TOVRA_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_property(GLOBAL APPEND PROPERTY TOVRA_FUZZERS ${name})
endfunction()

# tovra_add_benchmark(name SOURCES a.cpp LIBS lib1)
function(tovra_add_benchmark name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TOVRA_BENCH)
    return()
  endif()
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
endfunction()
