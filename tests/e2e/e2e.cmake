# End-to-end tests: the x86-64 Windows build under Wine, driven by
# tests/e2e/driver through tests/e2e/harness.py, and dtucfg run natively
# (test_cli_*). One CTest test per tests/e2e/test_*.py; a fixture boots the
# Wine prefix the Wine ones copy.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DTU_E2E_DIR ${CMAKE_SOURCE_DIR}/tests/e2e)
set(DTU_E2E_TEMPLATE ${CMAKE_BINARY_DIR}/e2e/template-prefix)
set(DTU_E2E_ENV "DTU_WIN64_DIR=${DTU_WIN64_DIR}" "DTU_E2E_TEMPLATE=${DTU_E2E_TEMPLATE}"
                "DTU_SIM_UNIT=$<TARGET_FILE:dtu_sim_unit>" "DTUCFG=$<TARGET_FILE:dtucfg>")

add_test(NAME e2e_template_prefix
         COMMAND Python3::Interpreter ${DTU_E2E_DIR}/harness.py make-template ${DTU_E2E_TEMPLATE})
set_tests_properties(e2e_template_prefix PROPERTIES
  FIXTURES_SETUP dtu_e2e_prefix LABELS e2e TIMEOUT 180 ENVIRONMENT "${DTU_E2E_ENV}")

add_test(NAME e2e_template_prefix_cleanup
         COMMAND Python3::Interpreter ${DTU_E2E_DIR}/harness.py remove-template ${DTU_E2E_TEMPLATE})
set_tests_properties(e2e_template_prefix_cleanup PROPERTIES
  FIXTURES_CLEANUP dtu_e2e_prefix LABELS e2e TIMEOUT 60 ENVIRONMENT "${DTU_E2E_ENV}")

file(GLOB DTU_E2E_TESTS CONFIGURE_DEPENDS ${DTU_E2E_DIR}/test_*.py)
foreach(script ${DTU_E2E_TESTS})
  get_filename_component(name ${script} NAME_WE)
  add_test(NAME e2e_${name} COMMAND Python3::Interpreter ${script} -v
           WORKING_DIRECTORY ${DTU_E2E_DIR})
  # The simulated unit comes from the normal build; without it a test is not run.
  set_tests_properties(e2e_${name} PROPERTIES
    LABELS e2e TIMEOUT 600 ENVIRONMENT "${DTU_E2E_ENV}"
    REQUIRED_FILES $<TARGET_FILE:dtu_sim_unit>)
  # test_cli_* run dtucfg natively and need no Wine, unless they end in _wine.
  if(NOT name MATCHES "^test_cli_" OR name MATCHES "_wine$")
    set_tests_properties(e2e_${name} PROPERTIES FIXTURES_REQUIRED dtu_e2e_prefix)
  endif()
endforeach()
