# Installs corvandel-ping into a fresh prefix and checks that the program
# and its manual page arrived, and that the page renders without a warning
# where groff or man is there to render it.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -DBINDIR=bin -DMANDIR=share/man -P install_test.cmake

foreach(variable BUILD_DIR PREFIX BINDIR MANDIR)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}" --component corvandel-ping
  RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the install failed (${status}):\n${output}")
endif()

set(program "${PREFIX}/${BINDIR}/corvandel-ping")
set(page "${PREFIX}/${MANDIR}/man1/corvandel-ping.1")
foreach(file "${program}" "${page}")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${file} was not installed:\n${output}")
  endif()
endforeach()
execute_process(COMMAND "${program}" --version RESULT_VARIABLE status OUTPUT_VARIABLE version)
if(NOT status EQUAL 0 OR NOT version MATCHES "^corvandel-ping ")
  message(FATAL_ERROR "the installed program does not run: ${status} ${version}")
endif()

find_program(GROFF groff)
find_program(MAN man)
if(GROFF)
  # -ww: every warning; -z: no output, only the diagnostics.
  execute_process(COMMAND "${GROFF}" -man -Tutf8 -ww -z "${page}"
                  RESULT_VARIABLE status ERROR_VARIABLE warnings)
elseif(MAN)
  execute_process(COMMAND "${MAN}" --warnings -l "${page}"
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_VARIABLE warnings)
else()
  message(STATUS "neither groff nor man is installed: the page's rendering is not checked")
  file(REMOVE_RECURSE "${PREFIX}")
  return()
endif()
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "the manual page renders with warnings (${status}):\n${warnings}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
