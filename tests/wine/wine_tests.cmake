# The portable INI store against the real profile functions under wine64.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_executable(ini_script ${CMAKE_SOURCE_DIR}/tests/wine/native/ini_script.cpp)
target_link_libraries(ini_script PRIVATE dtu_test_support)
add_test(NAME profile_diff
         COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tests/wine/profile_diff.py
                 --profile-ops ${DTU_WIN64_DIR}/profile_ops.exe
                 --ini-script $<TARGET_FILE:ini_script>
                 --scripts ${CMAKE_SOURCE_DIR}/tests/wine/scripts
                 --work ${CMAKE_BINARY_DIR}/profile-diff
                 --prefix-tool ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh)
set_tests_properties(profile_diff PROPERTIES LABELS wine TIMEOUT 600)
