# The portable core, its unit tests, fuzz targets and benchmarks.

# Off for a machine that only runs the programs: no test libraries needed.
option(DTU_BUILD_TESTS "Build the tests, fuzz targets and benchmarks" ON)

add_library(dtu_core STATIC ${DTU_CORE_SOURCES})
target_include_directories(dtu_core PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_compile_options(dtu_core PRIVATE -fno-exceptions)

# dtucfg natively: its portable part as a library the tests link too.
find_path(DTU_CLI11_INCLUDE CLI/CLI.hpp)
find_path(DTU_JSON_INCLUDE nlohmann/json.hpp)
if(NOT DTU_CLI11_INCLUDE OR NOT DTU_JSON_INCLUDE)
  message(FATAL_ERROR "CLI11 or nlohmann-json is missing: run scripts/deps.sh")
endif()
find_path(DTU_NETTLE_INCLUDE nettle/sha2.h)
find_library(DTU_NETTLE nettle)
if(NOT DTU_NETTLE_INCLUDE OR NOT DTU_NETTLE)
  message(FATAL_ERROR "Nettle is missing: run scripts/deps.sh")
endif()
find_package(Threads REQUIRED)
# The production line's database: unixODBC.
find_package(ODBC)
if(NOT ODBC_FOUND)
  message(FATAL_ERROR "unixODBC is missing: run scripts/deps.sh")
endif()
# Serial lines, port listing and console over POSIX; the report's digest.
add_library(dtu_platform STATIC ${DTU_CLI_POSIX_SOURCES})
target_include_directories(dtu_platform SYSTEM PRIVATE ${DTU_NETTLE_INCLUDE})
target_link_libraries(dtu_platform PUBLIC dtu_core ${DTU_NETTLE} Threads::Threads)
add_library(dtu_cli STATIC ${DTU_CLI_SOURCES})
target_link_libraries(dtu_cli PUBLIC dtu_platform)
target_compile_definitions(dtu_cli PUBLIC DTU_VERSION="${PROJECT_VERSION}")
target_include_directories(dtu_cli SYSTEM PUBLIC ${DTU_CLI11_INCLUDE} ${DTU_JSON_INCLUDE})
# batch serve's page server: libmicrohttpd, in the Linux build only.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
add_library(dtu_line STATIC ${DTU_LINE_SOURCES} ${DTU_LINE_POSIX_SOURCES})
target_link_libraries(dtu_line PUBLIC dtu_cli ODBC::ODBC PkgConfig::MHD)
add_executable(dtucfg ${DTU_CLI_MAIN})
target_link_libraries(dtucfg PRIVATE dtu_line)

# The simulated unit on a pty: for trying the form, and for the tests.
add_executable(dtu_sim_unit ${CMAKE_SOURCE_DIR}/tools/sim_unit.cpp)
target_link_libraries(dtu_sim_unit PRIVATE dtu_core)

include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)

if(NOT DTU_BUILD_TESTS)
  return()
endif()

enable_testing()

find_package(GTest REQUIRED)
file(GLOB DTU_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
add_library(dtu_test_support STATIC ${DTU_TEST_SUPPORT})
target_include_directories(dtu_test_support PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(dtu_test_support PUBLIC dtu_line)

# The form's button handlers, for their tests: dtucfg does not link them.
add_library(dtu_form_logic STATIC ${DTU_FORM_SOURCES})
target_link_libraries(dtu_form_logic PUBLIC dtu_core)
target_compile_options(dtu_form_logic PRIVATE -fno-exceptions)

file(GLOB DTU_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/unit/*.cpp)
add_executable(dtu_unit_tests ${DTU_UNIT_TESTS})
target_link_libraries(dtu_unit_tests PRIVATE dtu_form_logic dtu_test_support GTest::gtest
                                             GTest::gtest_main)
include(GoogleTest)
gtest_discover_tests(dtu_unit_tests DISCOVERY_TIMEOUT 60)

# The rules of docs/design.md that the sources themselves show: layers,
# platform headers and platform #if.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_test(NAME source_rules COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/check_sources.py
                                   ${CMAKE_SOURCE_DIR}/src)

# The unit tests start the simulated unit as a child process.
add_dependencies(dtu_unit_tests dtu_sim_unit)
target_compile_definitions(dtu_unit_tests PRIVATE DTU_SIM_UNIT="$<TARGET_FILE:dtu_sim_unit>")
# The database tests start their own PostgreSQL through this script.
target_compile_definitions(dtu_unit_tests PRIVATE
  DTU_SCRATCH_PG="${CMAKE_SOURCE_DIR}/tests/support/scratch_pg.py")

# Benchmarks are built so they stay compilable; they are run by hand.
find_package(benchmark QUIET)
file(GLOB DTU_BENCH_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/bench/*.cpp)
if(benchmark_FOUND AND DTU_BENCH_SOURCES)
  add_executable(dtu_bench ${DTU_BENCH_SOURCES})
  target_link_libraries(dtu_bench PRIVATE dtu_form_logic dtu_test_support benchmark::benchmark
                                          benchmark::benchmark_main)
  # dtucfg's commands are timed against the simulated unit on a pty.
  add_dependencies(dtu_bench dtu_sim_unit dtucfg)
  target_compile_definitions(dtu_bench PRIVATE DTU_SIM_UNIT="$<TARGET_FILE:dtu_sim_unit>"
                                               DTUCFG="$<TARGET_FILE:dtucfg>")
  # The database ledger is timed against a scratch PostgreSQL of its own.
  target_compile_definitions(dtu_bench PRIVATE
    DTU_SCRATCH_PG="${CMAKE_SOURCE_DIR}/tests/support/scratch_pg.py")
endif()

# libFuzzer targets, one per tests/fuzz/fuzz_*.cpp, each run for a bounded time.
set(DTU_FUZZ_SECONDS 30 CACHE STRING "How long each fuzz target runs under CTest")
file(GLOB DTU_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND DTU_FUZZ_SOURCES)
  set(DTU_SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=all)
  add_library(dtu_core_fuzz STATIC ${DTU_CORE_SOURCES} ${DTU_TEST_SUPPORT})
  target_include_directories(dtu_core_fuzz PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_options(dtu_core_fuzz PUBLIC -g -O1 ${DTU_SANITIZERS}
                                              PRIVATE -fsanitize=fuzzer-no-link)
  target_link_options(dtu_core_fuzz PUBLIC ${DTU_SANITIZERS})
  # Targets for dtucfg's own code compile that code themselves: the core holds none of it.
  set(DTU_FUZZ_EXTRA_fuzz_csv ${CMAKE_SOURCE_DIR}/src/cli/csv.cpp)
  foreach(source ${DTU_FUZZ_SOURCES})
    get_filename_component(name ${source} NAME_WE)
    add_executable(${name} ${source} ${DTU_FUZZ_EXTRA_${name}})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(${name} PRIVATE dtu_core_fuzz)
    set(corpus ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    file(MAKE_DIRECTORY ${corpus})
    # Checked-in seeds start the search from real files; the corpus grows in the build.
    set(seeds ${CMAKE_SOURCE_DIR}/tests/fuzz/seeds/${name})
    if(NOT EXISTS ${seeds})
      set(seeds "")
    endif()
    add_test(NAME ${name}
             COMMAND ${name} -max_total_time=${DTU_FUZZ_SECONDS} -timeout=10
                     -rss_limit_mb=2048 -print_final_stats=1 ${corpus} ${seeds})
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  endforeach()
endif()

# End-to-end tests drive the Windows build under Wine.
if(DTU_WIN64_DIR)
  # The form's release exe stays small: no C++ library code may creep in.
  get_filename_component(DTU_WIN32_DIR ${DTU_WIN64_DIR}/../win32 ABSOLUTE)
  add_test(NAME form_exe_size
           COMMAND ${CMAKE_COMMAND} -DFILE=${DTU_WIN32_DIR}/DTUConfig.exe -DLIMIT=65536
                   -P ${CMAKE_SOURCE_DIR}/cmake/check_size.cmake)
  # Both Windows builds of both programs carry the version of project() as
  # their file version, and the native dtucfg --version says the same.
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(DTU_EXE_VERSION_FILES)
  foreach(dir ${DTU_WIN32_DIR} ${DTU_WIN64_DIR})
    list(APPEND DTU_EXE_VERSION_FILES ${dir}/DTUConfig.exe ${dir}/dtucfg.exe)
  endforeach()
  add_test(NAME exe_version
           COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/exe_version.py
                   --expect-version ${PROJECT_VERSION}
                   "--description=DTUConfig.exe=DTU Configuration Tool"
                   "--description=dtucfg.exe=DTU configuration command-line tool"
                   "--product=DTU Configuration Tool"
                   --version-of $<TARGET_FILE:dtucfg>
                   ${DTU_EXE_VERSION_FILES})
  include(${CMAKE_SOURCE_DIR}/tests/e2e/e2e.cmake)
  include(${CMAKE_SOURCE_DIR}/tests/wine/wine_tests.cmake)
endif()
