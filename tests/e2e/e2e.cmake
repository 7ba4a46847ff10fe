# End-to-end tests: the Windows builds under Wine, driven by tests/e2e/driver
# through tests/e2e/harness.py, and dtucfg run natively (test_cli_*). One CTest
# test per tests/e2e/test_*.py and build; a fixture per build boots the Wine
# prefix its tests copy.
#
# The release (build/win32, i686) runs every Wine test under the 32-bit Wine,
# its x86-64 twin (build/win64) a short smoke under wine64, so that a fault of
# one build shows. A Wine test's name ends in the build it ran. On a machine
# that cannot run 32-bit code the _win32 tests report SKIPPED with the reason
# (harness.py run, exit 77); scripts/test.sh fails if they skip where they can run.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DTU_E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
set(DTU_E2E_HARNESS ${DTU_E2E_DIR}/harness.py)
set(DTU_E2E_WIN64_SMOKE test_smoke test_cli_wine)
set(DTU_E2E_COMMON_ENV "DTU_WIN32_DIR=${DTU_WIN32_DIR}" "DTU_WIN64_DIR=${DTU_WIN64_DIR}"
                       "DTU_SIM_UNIT=$<TARGET_FILE:dtu_sim_unit>" "DTUCFG=$<TARGET_FILE:dtucfg>")

foreach(arch win32 win64)
  set(template ${CMAKE_BINARY_DIR}/e2e/template-${arch})
  set(DTU_E2E_ENV_${arch} ${DTU_E2E_COMMON_ENV} "DTU_WIN_ARCH=${arch}"
                          "DTU_E2E_TEMPLATE=${template}")
  add_test(NAME e2e_template_prefix_${arch}
           COMMAND Python3::Interpreter ${DTU_E2E_HARNESS} make-template ${template})
  set_tests_properties(e2e_template_prefix_${arch} PROPERTIES
    FIXTURES_SETUP dtu_e2e_prefix_${arch} LABELS e2e TIMEOUT 180 SKIP_RETURN_CODE 77
    ENVIRONMENT "${DTU_E2E_ENV_${arch}}")
  add_test(NAME e2e_template_prefix_cleanup_${arch}
           COMMAND Python3::Interpreter ${DTU_E2E_HARNESS} remove-template ${template})
  set_tests_properties(e2e_template_prefix_cleanup_${arch} PROPERTIES
    FIXTURES_CLEANUP dtu_e2e_prefix_${arch} LABELS e2e TIMEOUT 60
    ENVIRONMENT "${DTU_E2E_ENV_${arch}}")
endforeach()

file(GLOB DTU_E2E_TESTS CONFIGURE_DEPENDS ${DTU_E2E_DIR}/test_*.py)
foreach(script ${DTU_E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  # test_cli_* run dtucfg natively and need no Wine, unless they end in _wine.
  if(name MATCHES "^test_cli_" AND NOT name MATCHES "_wine$")
    add_test(NAME e2e_${name} COMMAND Python3::Interpreter ${script} -v
             WORKING_DIRECTORY ${DTU_E2E_DIR})
    # The simulated unit comes from the normal build; without it a test is not run.
    set_tests_properties(e2e_${name} PROPERTIES
      LABELS e2e TIMEOUT 600 ENVIRONMENT "${DTU_E2E_COMMON_ENV}"
      REQUIRED_FILES $<TARGET_FILE:dtu_sim_unit>)
    continue()
  endif()
  set(archs win32)
  if(name IN_LIST DTU_E2E_WIN64_SMOKE)
    list(APPEND archs win64)
  endif()
  foreach(arch ${archs})
    add_test(NAME e2e_${name}_${arch}
             COMMAND Python3::Interpreter ${DTU_E2E_HARNESS} run ${script} -v
             WORKING_DIRECTORY ${DTU_E2E_DIR})
    set_tests_properties(e2e_${name}_${arch} PROPERTIES
      LABELS "e2e;${arch}" TIMEOUT 600 SKIP_RETURN_CODE 77
      ENVIRONMENT "${DTU_E2E_ENV_${arch}}" FIXTURES_REQUIRED dtu_e2e_prefix_${arch}
      REQUIRED_FILES $<TARGET_FILE:dtu_sim_unit>)
  endforeach()
endforeach()
