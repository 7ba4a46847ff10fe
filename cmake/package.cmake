# What a user downloads: a zip of both exes for Windows, a .deb of dtucfg for
# Debian and Ubuntu. Names and versions come from project().

set(CPACK_PACKAGE_VENDOR "DTU Configuration Tool developers")
set(CPACK_PACKAGE_CONTACT "DTU Configuration Tool developers <dtu-config@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configure DTU cellular data terminals over a serial port")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)

if(WIN32)
  install(TARGETS DTUConfig dtucfg RUNTIME DESTINATION .)
  # .txt, so that a double click opens it on Windows.
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/res/profiles/example.ini DESTINATION profiles)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(DTU_PACKAGE_ARCH x64)
  else()
    set(DTU_PACKAGE_ARCH x86)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME dtu-config-${PROJECT_VERSION}-windows-${DTU_PACKAGE_ARCH})
else()
  include(GNUInstallDirs)
  find_program(DTU_GZIP gzip REQUIRED)
  # Debian installs man pages compressed; -n keeps the archive reproducible.
  set(DTU_MAN_PAGE ${CMAKE_BINARY_DIR}/dtucfg.1.gz)
  add_custom_command(
    OUTPUT ${DTU_MAN_PAGE}
    COMMAND ${DTU_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/res/dtucfg.1 > ${DTU_MAN_PAGE}
    DEPENDS ${CMAKE_SOURCE_DIR}/res/dtucfg.1
    VERBATIM)
  add_custom_target(dtucfg_man ALL DEPENDS ${DTU_MAN_PAGE})

  install(TARGETS dtucfg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${DTU_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/res/dtucfg.bash-completion
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME dtucfg)
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dtucfg RENAME copyright)

  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_PACKAGE_NAME dtucfg)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION comm)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # CPack puts the summary above it.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "dtucfg, the command-line part of the DTU Configuration Tool, reads, writes,
compares, restarts and factory-resets a DTU (a cellular data terminal unit
that carries serial data to a TCP or UDP server) over a serial port. Its
profiles are the settings files the Windows form saves. It serves several
ports at once, writes per-unit values from a CSV, and runs a production
line that configures every unit plugged in and keeps a report.")
endif()

include(CPack)
