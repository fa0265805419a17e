# Installing and packaging. `cmake --install <build dir>` puts the agent, the
# console client and the commented example configuration side by side in one
# directory (the agent reads the ini file beside its executable); the Linux
# build adds the systemd unit. CPack makes a ZIP archive of the Windows build
# and a gzipped tarball of the Linux build with the same files.
#
# The example is installed as TavinMonitorAgent.example.ini: the agent does
# not read it, and unpacking a newer version over an installation never
# replaces the configuration in use (TavinMonitorAgent.ini).

if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  # Where the systemd unit expects the agent.
  set(CMAKE_INSTALL_PREFIX "/opt/tavin" CACHE PATH "Install directory" FORCE)
endif()

set(TAVIN_EXAMPLE_INI "${CMAKE_SOURCE_DIR}/examples/TavinMonitorAgent.ini")
set(TAVIN_SERVICE_FILE "${CMAKE_SOURCE_DIR}/packaging/linux/tavin-monitor-agent.service")

install(TARGETS TavinMonitorAgent tavin-console RUNTIME DESTINATION .)
install(FILES "${TAVIN_EXAMPLE_INI}" DESTINATION . RENAME TavinMonitorAgent.example.ini)
if(NOT WIN32)
  install(FILES "${TAVIN_SERVICE_FILE}" DESTINATION .)
endif()

set(CPACK_PACKAGE_NAME "TavinMonitorAgent")
set(CPACK_PACKAGE_VENDOR "TavinMonitorAgent")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Host monitoring agent for order-reporting machines")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_VERBATIM_VARIABLES ON)
if(WIN32)
  set(CPACK_GENERATOR "ZIP")
  set(CPACK_SYSTEM_NAME "windows-x86_64")
  set(exe ".exe")
else()
  set(CPACK_GENERATOR "TGZ")
  set(CPACK_SYSTEM_NAME "linux-${CMAKE_SYSTEM_PROCESSOR}")
  set(exe "")
endif()
set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME}")

# What packaging/package.cmake checks in the archive (CPack keeps every
# CPACK_ variable in CPackConfig.cmake, where the check reads them): the
# files, the executables among them, and the files that must be the
# sources' bytes unchanged.
set(CPACK_TAVIN_EXECUTABLES "TavinMonitorAgent${exe}" "tavin-console${exe}")
set(CPACK_TAVIN_FILES ${CPACK_TAVIN_EXECUTABLES} "TavinMonitorAgent.example.ini")
set(CPACK_TAVIN_SAME_AS "TavinMonitorAgent.example.ini=${TAVIN_EXAMPLE_INI}")
if(NOT WIN32)
  list(APPEND CPACK_TAVIN_FILES "tavin-monitor-agent.service")
  list(APPEND CPACK_TAVIN_SAME_AS "tavin-monitor-agent.service=${TAVIN_SERVICE_FILE}")
endif()
unset(exe)

include(CPack)

if(TAVIN_BUILD_TESTS)
  add_test(NAME package_contents
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DOUTPUT_DIR=${CMAKE_BINARY_DIR}/package-test
                   -P ${CMAKE_SOURCE_DIR}/packaging/package.cmake)
  set_tests_properties(package_contents PROPERTIES TIMEOUT 300 LABELS packaging)
endif()
