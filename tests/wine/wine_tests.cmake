# The portable INI store against the real profile functions, as the release
# (build/win32's profile_ops.exe) calls them under the 32-bit Wine; skipped,
# saying why, where 32-bit code cannot run (see tests/e2e/e2e.cmake).
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_executable(ini_script ${CMAKE_SOURCE_DIR}/tests/wine/native/ini_script.cpp)
target_link_libraries(ini_script PRIVATE dtu_test_support)
add_test(NAME profile_diff_win32
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/e2e/harness.py run
                 ${CMAKE_SOURCE_DIR}/tests/wine/profile_diff.py
                 --profile-ops ${DTU_WIN32_DIR}/profile_ops.exe
                 --ini-script $<TARGET_FILE:ini_script>
                 --scripts ${CMAKE_SOURCE_DIR}/tests/wine/scripts
                 --work ${CMAKE_BINARY_DIR}/profile-diff-win32
                 --prefix-tool ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh --arch win32)
set_tests_properties(profile_diff_win32 PROPERTIES
  LABELS "wine;win32" TIMEOUT 600 SKIP_RETURN_CODE 77 ENVIRONMENT "DTU_WIN_ARCH=win32")
