# The Windows program (cross-built with MinGW-w64) and the e2e test driver.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(DTU_ICON ${CMAKE_BINARY_DIR}/res/dtu.ico)
add_custom_command(
  OUTPUT ${DTU_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/res
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/tools/make_icon.py
          ${CMAKE_SOURCE_DIR}/res/dtu_icon.txt ${DTU_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make_icon.py ${CMAKE_SOURCE_DIR}/res/dtu_icon.txt
  COMMENT "Making the icon")

# Both programs' version resource (res/version_info.rc) takes its numbers from
# version.h, and the form's manifest its version, both made here from the one
# version in project(). A three-part version gets a fourth part of 0.
set(DTU_VERSION_TWEAK 0)
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(DTU_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(DTU_VERSION_FOUR
    ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${DTU_VERSION_TWEAK})
set(DTU_VERSION_H ${CMAKE_BINARY_DIR}/res/version.h)
configure_file(${CMAKE_SOURCE_DIR}/res/version.h.in ${DTU_VERSION_H} @ONLY)
set(DTU_VERSION_RC_DEPENDS ${DTU_VERSION_H} ${CMAKE_SOURCE_DIR}/res/version_info.rc)
set(DTU_MANIFEST ${CMAKE_BINARY_DIR}/res/DTUConfig.manifest)
configure_file(${CMAKE_SOURCE_DIR}/res/DTUConfig.manifest.in ${DTU_MANIFEST} @ONLY)

set(DTU_RC ${CMAKE_SOURCE_DIR}/res/DTUConfig.rc)
set_source_files_properties(${DTU_RC} PROPERTIES
  OBJECT_DEPENDS "${DTU_ICON};${DTU_MANIFEST};${CMAKE_SOURCE_DIR}/src/form/control_ids.h;${CMAKE_SOURCE_DIR}/src/form/control_labels.h;${DTU_VERSION_RC_DEPENDS}")

# The device sessions and the simulated unit are dtucfg's alone. Linked in,
# their 64-bit arithmetic would pull libgcc helpers into the form, which
# unused-section removal cannot take out again.
set(DTU_FORM_CORE_SOURCES ${DTU_CORE_SOURCES})
list(FILTER DTU_FORM_CORE_SOURCES EXCLUDE REGEX "/(sim_unit|sim_link|unit_session)\\.cpp$")
add_executable(DTUConfig WIN32 ${DTU_FORM_CORE_SOURCES} ${DTU_FORM_SOURCES}
                          ${DTU_FORM_WIN32_SOURCES} ${DTU_RC} ${DTU_ICON})
target_include_directories(DTUConfig PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/res
                                             ${CMAKE_BINARY_DIR}/res)
# The C runtime Windows ships formats well enough; MinGW's own printf costs 20 KB.
target_compile_definitions(DTUConfig PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                                             __USE_MINGW_ANSI_STDIO=0)
target_compile_options(DTUConfig PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
   -ffunction-sections -fdata-sections>)
# Static runtime: the exe needs nothing but the DLLs Windows itself ships.
target_link_options(DTUConfig PRIVATE -static -s -Wl,--gc-sections)
target_link_libraries(DTUConfig PRIVATE comctl32)
set_target_properties(DTUConfig PROPERTIES OUTPUT_NAME DTUConfig
                                           RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

# dtucfg.exe, the console tool. Its two header-only libraries come from a
# folder that holds only them, never the host's whole /usr/include.
set(DTU_THIRD_PARTY ${CMAKE_BINARY_DIR}/third_party/include)
foreach(library CLI nlohmann)
  if(NOT EXISTS /usr/include/${library})
    message(FATAL_ERROR "/usr/include/${library} is missing: run scripts/deps.sh")
  endif()
  file(COPY /usr/include/${library} DESTINATION ${DTU_THIRD_PARTY})
endforeach()
set(DTU_CLI_RC ${CMAKE_SOURCE_DIR}/res/dtucfg.rc)
set_source_files_properties(${DTU_CLI_RC} PROPERTIES OBJECT_DEPENDS "${DTU_VERSION_RC_DEPENDS}")
add_executable(dtucfg ${DTU_CORE_SOURCES} ${DTU_CLI_SOURCES} ${DTU_LINE_SOURCES}
                      ${DTU_CLI_WIN32_SOURCES} ${DTU_CLI_MAIN} ${DTU_CLI_RC})
target_include_directories(dtucfg PRIVATE ${CMAKE_SOURCE_DIR}/src
  $<$<COMPILE_LANGUAGE:RC>:${CMAKE_SOURCE_DIR}/res> $<$<COMPILE_LANGUAGE:RC>:${CMAKE_BINARY_DIR}/res>)
target_include_directories(dtucfg SYSTEM PRIVATE ${DTU_THIRD_PARTY})
target_compile_definitions(dtucfg PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601
                                          $<$<COMPILE_LANGUAGE:CXX>:DTU_VERSION="${PROJECT_VERSION}">)
target_compile_options(dtucfg PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Os -ffunction-sections
                                                                -fdata-sections>)
target_link_options(dtucfg PRIVATE -static -s -Wl,--gc-sections)
target_link_libraries(dtucfg PRIVATE setupapi advapi32 bcrypt odbc32)
# MinGW's ODBC headers need <windows.h> first; the source itself stays free
# of platform includes.
set_source_files_properties(${CMAKE_SOURCE_DIR}/src/line/odbc.cpp PROPERTIES
                            COMPILE_OPTIONS "-include;windows.h")
set_target_properties(dtucfg PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

file(GLOB DTU_DRIVER_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/driver/*.cpp)
add_executable(dtu_driver ${DTU_DRIVER_SOURCES})
target_include_directories(dtu_driver PRIVATE ${CMAKE_SOURCE_DIR}/src)
target_link_options(dtu_driver PRIVATE -static)
set_target_properties(dtu_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

file(GLOB DTU_WINTOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/wine/*.cpp)
foreach(source ${DTU_WINTOOL_SOURCES})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_options(${name} PRIVATE -static)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endforeach()

include(${CMAKE_SOURCE_DIR}/cmake/package.cmake)
