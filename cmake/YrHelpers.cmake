# The small helpers every module, test, benchmark and fuzz target is declared through,
# so that warnings, sanitizers and frame pointers are set in one place.

set(YR_WARNINGS -Wall -Wextra)

# Flags for everything the project compiles: frame pointers keep stack walks cheap and
# exact, and the sanitizer switch reaches tests and benchmarks as well as the library.
# Fuzz builds also instrument everything for coverage, so the fuzzer sees the library's
# branches and not only those of the target.
function(yr_common_flags target)
  target_compile_options(${target} PRIVATE ${YR_WARNINGS} -fno-omit-frame-pointer)
  if(YR_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=undefined)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
  if(YR_SANITIZE_THREAD)
    target_compile_options(${target} PRIVATE -fsanitize=thread)
    target_link_options(${target} PRIVATE -fsanitize=thread)
  endif()
  if(YR_BUILD_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# yr_module(<subsystem> SOURCES <files...>): adds one subsystem's sources to the library.
function(yr_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES" ${ARGN})
  list(TRANSFORM ARG_SOURCES PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/")
  target_sources(yrsystem PRIVATE ${ARG_SOURCES})
  # Installed as <prefix>/include/yr/system/<subsystem>/, so that the repository-rooted
  # includes ("system/strings/string_id.h") resolve against <prefix>/include/yr.
  file(GLOB headers CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.h")
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/yr/system/${name})
endfunction()

# yr_test(<name> SOURCES <files...> [LIBS <libs...>]): one GoogleTest executable run by CTest.
function(yr_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  yr_common_flags(${name})
  target_link_libraries(${name} PRIVATE Yr::system GTest::gtest GTest::gtest_main Threads::Threads ${ARG_LIBS})
  # Tests that cannot run under ThreadSanitizer skip themselves (tests/sanitizers.h).
  if(YR_SANITIZE_THREAD)
    target_compile_definitions(${name} PRIVATE YR_TSAN=1)
  endif()
  # YR_TEST_EMULATOR is the command that runs a program of this build (empty when the host
  # runs it itself): a test that starts a helper program puts it in front.
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ENVIRONMENT "YR_TEST_BINARY_DIR=${CMAKE_BINARY_DIR}"
                                  ENVIRONMENT_MODIFICATION "YR_TEST_EMULATOR=set:${emulator}")
endfunction()

# yr_bench(<name> SOURCES <files...> [LIBS <libs...>]): one Google Benchmark program.
function(yr_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  yr_common_flags(${name})
  target_link_libraries(${name} PRIVATE Yr::system benchmark::benchmark yr_bench_report ${ARG_LIBS})
endfunction()

# yr_executable(<name> SOURCES <files...> [LIBS <libs...>]): examples and test helpers.
function(yr_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  yr_common_flags(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
endfunction()

set(YR_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzz target runs when ctest runs it")

# yr_fuzz(<name> SOURCES <files...> [LIBS <libs...>]): one libFuzzer target (YR_BUILD_FUZZ,
# clang only). The sources define LLVMFuzzerTestOneInput; libFuzzer supplies main. CTest runs
# it for YR_FUZZ_SECONDS: new inputs go to a corpus in the build tree, seeded from
# fuzz/corpus/<name>/ when that exists; a crashing input is kept as <name>-crash-<hash>.
function(yr_fuzz name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  yr_common_flags(${name})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE Yr::system ${ARG_LIBS})

  set(corpus ${CMAKE_CURRENT_BINARY_DIR}/corpus/${name})
  file(MAKE_DIRECTORY ${corpus})
  set(seeds "")
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
    set(seeds ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${name})
  endif()
  add_test(NAME fuzz.${name}
           COMMAND ${name} -max_total_time=${YR_FUZZ_SECONDS} -timeout=10 -print_final_stats=1
                   -artifact_prefix=${CMAKE_CURRENT_BINARY_DIR}/${name}- ${corpus} ${seeds}
           WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
endfunction()

# yr_adapt_library_to_compiler(<target>): the shared library's own flags, on clang. Clang
# never emits STB_GNU_UNIQUE symbols and has no switch for them; and its sanitizer and
# fuzzer runtimes are linked into executables only, so an instrumented shared library
# leaves their symbols to the program that loads it instead of failing --no-undefined.
function(yr_adapt_library_to_compiler target)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  get_target_property(options ${target} COMPILE_OPTIONS)
  if(options)
    list(REMOVE_ITEM options -fno-gnu-unique)
    set_property(TARGET ${target} PROPERTY COMPILE_OPTIONS ${options})
  endif()
  get_target_property(options ${target} LINK_OPTIONS)
  if(options AND (YR_SANITIZE OR YR_SANITIZE_THREAD OR YR_BUILD_FUZZ))
    list(REMOVE_ITEM options -Wl,--no-undefined)
    set_property(TARGET ${target} PROPERTY LINK_OPTIONS ${options})
  endif()
endfunction()
