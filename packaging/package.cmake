# Makes the package of a build with CPack and checks what the archive holds:
# exactly the expected files under one top directory, the programs
# executable, the example configuration, the systemd unit and the Linux
# manual byte for byte as in the sources, and the manual's links resolved.
# The checked archive is left in OUTPUT_DIR.
#
#   cmake -DBUILD_DIR=build/native -DOUTPUT_DIR=build/packages -P packaging/package.cmake
#
# The build must be up to date.
cmake_minimum_required(VERSION 3.25)

foreach(variable BUILD_DIR OUTPUT_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()
set(config "${BUILD_DIR}/CPackConfig.cmake")
if(NOT EXISTS "${config}")
  message(FATAL_ERROR "${config} not found: configure the build first")
endif()
include("${config}")

if(CPACK_GENERATOR STREQUAL "ZIP")
  set(extension ".zip")
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(extension ".tar.gz")
else()
  message(FATAL_ERROR "unexpected generator ${CPACK_GENERATOR}")
endif()
set(top "${CPACK_PACKAGE_FILE_NAME}")
set(archive_name "${top}${extension}")

# CPack works in a directory of its own, so that a run never finds another's
# leftovers.
set(work "${OUTPUT_DIR}/.cpack-${top}")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")
execute_process(
  COMMAND "${CMAKE_CPACK_COMMAND}" --config "${config}" -B "${work}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR NOT EXISTS "${work}/${archive_name}")
  message(FATAL_ERROR "cpack failed (${result}):\n${output}")
endif()
set(archive "${work}/${archive_name}")

set(failures "")
function(fail message)
  set(failures "${failures}  ${message}\n" PARENT_SCOPE)
endfunction()

# The entries: exactly the expected files (directory entries aside).
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar tf "${archive}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  fail("the archive cannot be listed")
endif()
string(REPLACE "\n" ";" entries "${listing}")
list(FILTER entries EXCLUDE REGEX "(^$|/$)")
list(SORT entries)
set(expected "")
foreach(file IN LISTS CPACK_TAVIN_FILES)
  list(APPEND expected "${top}/${file}")
endforeach()
list(SORT expected)
if(NOT entries STREQUAL expected)
  fail("the archive holds [${entries}], expected [${expected}]")
endif()

# The unpacked files: programs executable (the tarball keeps modes), texts
# unchanged.
set(unpacked "${work}/unpacked")
file(MAKE_DIRECTORY "${unpacked}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar xf "${archive}"
                WORKING_DIRECTORY "${unpacked}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  fail("the archive cannot be unpacked")
endif()
foreach(file IN LISTS CPACK_TAVIN_EXECUTABLES)
  set(path "${unpacked}/${top}/${file}")
  if(NOT EXISTS "${path}")
    continue()  # already reported as missing
  endif()
  file(SIZE "${path}" size)
  if(size EQUAL 0)
    fail("${file} is empty")
  endif()
  if(CPACK_GENERATOR STREQUAL "TGZ")
    execute_process(COMMAND test -x "${path}" RESULT_VARIABLE executable)
    if(NOT executable EQUAL 0)
      fail("${file} is not executable")
    endif()
  endif()
endforeach()
foreach(pair IN LISTS CPACK_TAVIN_SAME_AS)
  string(FIND "${pair}" "=" equals)
  string(SUBSTRING "${pair}" 0 ${equals} file)
  math(EXPR after "${equals} + 1")
  string(SUBSTRING "${pair}" ${after} -1 source)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E compare_files "${unpacked}/${top}/${file}" "${source}"
                  RESULT_VARIABLE different)
  if(NOT different EQUAL 0)
    fail("${file} differs from ${source}")
  endif()
endforeach()
# The manual's links lead from page to page in the unpacked archive too.
if(CPACK_TAVIN_CHECK_LINKS)
  execute_process(COMMAND ${CPACK_TAVIN_CHECK_LINKS} "${unpacked}/${top}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    fail("the manual's links are broken:\n${output}")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "${archive_name}:\n${failures}")
endif()

file(COPY "${archive}" DESTINATION "${OUTPUT_DIR}")
file(REMOVE_RECURSE "${work}")
string(REPLACE ";" ", " contents "${CPACK_TAVIN_FILES}")
message(STATUS "${OUTPUT_DIR}/${archive_name}: ${contents}")
