# Installing and packaging. `cmake --install <build dir>` puts the agent, the
# console client, the commented example configuration and the manual side by
# side in one directory (the agent reads the ini file beside its executable);
# the Linux build adds the systemd unit. CPack makes a ZIP archive of the
# Windows build and a gzipped tarball of the Linux build with the same files.
#
# The example is installed as TavinMonitorAgent.example.ini: the agent does
# not read it, and unpacking a newer version over an installation never
# replaces the configuration in use (TavinMonitorAgent.ini).

if(NOT WIN32 AND CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  # Where the systemd unit expects the agent.
  set(CMAKE_INSTALL_PREFIX "/opt/tavin" CACHE PATH "Install directory" FORCE)
endif()

# The packages hold the agent and the console client, which scripts/package
# builds first: making a package builds nothing else (the tests, otherwise
# built one file at a time by CPack's install step).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(TAVIN_EXAMPLE_INI "${CMAKE_SOURCE_DIR}/examples/TavinMonitorAgent.ini")
set(TAVIN_SERVICE_FILE "${CMAKE_SOURCE_DIR}/packaging/linux/tavin-monitor-agent.service")

install(TARGETS TavinMonitorAgent tavin-console RUNTIME DESTINATION .)
install(FILES "${TAVIN_EXAMPLE_INI}" DESTINATION . RENAME TavinMonitorAgent.example.ini)
if(NOT WIN32)
  install(FILES "${TAVIN_SERVICE_FILE}" DESTINATION .)
endif()

# The manual: README.md and docs/*.md, whose links lead from one to another.
# The Linux build installs them as they are. The Windows build installs text
# copies for Notepad: README.txt and docs/*.txt, UTF-8 with a byte order mark
# (older Notepads otherwise read them in the system's code page) and CR LF
# line ends, their links naming the .txt files. The copies are made when the
# build is configured; a changed, added or removed page configures it again.
set(TAVIN_README "${CMAKE_SOURCE_DIR}/README.md")
file(GLOB TAVIN_MANUAL_PAGES CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/docs/*.md")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${TAVIN_README}" ${TAVIN_MANUAL_PAGES})
set(TAVIN_MANUAL_FILES "")
set(TAVIN_MANUAL_SAME_AS "")
if(WIN32)
  function(tavin_text_copy source destination)
    file(READ "${source}" text)
    string(REGEX REPLACE "(\\]\\([^)# ]*)\\.md([)#])" "\\1.txt\\2" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    string(ASCII 239 187 191 bom)
    file(WRITE "${destination}" "${bom}${text}")
  endfunction()
  set(manual "${CMAKE_BINARY_DIR}/manual")
  file(REMOVE_RECURSE "${manual}")
  tavin_text_copy("${TAVIN_README}" "${manual}/README.txt")
  list(APPEND TAVIN_MANUAL_FILES "README.txt")
  foreach(page IN LISTS TAVIN_MANUAL_PAGES)
    get_filename_component(name "${page}" NAME_WLE)
    tavin_text_copy("${page}" "${manual}/docs/${name}.txt")
    list(APPEND TAVIN_MANUAL_FILES "docs/${name}.txt")
  endforeach()
  install(FILES "${manual}/README.txt" DESTINATION .)
  install(DIRECTORY "${manual}/docs/" DESTINATION docs)
  unset(manual)
else()
  install(FILES "${TAVIN_README}" DESTINATION .)
  install(FILES ${TAVIN_MANUAL_PAGES} DESTINATION docs)
  list(APPEND TAVIN_MANUAL_FILES "README.md")
  list(APPEND TAVIN_MANUAL_SAME_AS "README.md=${TAVIN_README}")
  foreach(page IN LISTS TAVIN_MANUAL_PAGES)
    get_filename_component(name "${page}" NAME)
    list(APPEND TAVIN_MANUAL_FILES "docs/${name}")
    list(APPEND TAVIN_MANUAL_SAME_AS "docs/${name}=${page}")
  endforeach()
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
# files, the executables among them, the files that must be the sources'
# bytes unchanged, and the command that checks the manual's links.
set(CPACK_TAVIN_EXECUTABLES "TavinMonitorAgent${exe}" "tavin-console${exe}")
set(CPACK_TAVIN_FILES ${CPACK_TAVIN_EXECUTABLES} "TavinMonitorAgent.example.ini" ${TAVIN_MANUAL_FILES})
set(CPACK_TAVIN_SAME_AS "TavinMonitorAgent.example.ini=${TAVIN_EXAMPLE_INI}" ${TAVIN_MANUAL_SAME_AS})
set(CPACK_TAVIN_CHECK_LINKS "${CMAKE_SOURCE_DIR}/scripts/lib/check-links")
if(WIN32)
  list(APPEND CPACK_TAVIN_CHECK_LINKS "--text")
endif()
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
