# Checks the manual page: it renders without a warning under groff and man,
# and its title line carries the project's version.
#   cmake -DPAGE=... -DVERSION=major.minor -DGROFF=... [-DMAN=...] -P lint_manual.cmake

file(STRINGS ${PAGE} title REGEX "^\\.TH ")
if(NOT title MATCHES "\"Quorrex ${VERSION}\"")
  message(FATAL_ERROR "the title line should name Quorrex ${VERSION}: ${title}")
endif()

execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                RESULT_VARIABLE code ERROR_VARIABLE warnings OUTPUT_QUIET)
if(NOT code EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z: ${code}\n${warnings}")
endif()

if(MAN)
  set(ENV{MANWIDTH} 80)
  execute_process(COMMAND ${MAN} --warnings -l ${PAGE}
                  RESULT_VARIABLE code ERROR_VARIABLE warnings OUTPUT_VARIABLE text)
  if(NOT code EQUAL 0 OR NOT warnings STREQUAL "")
    message(FATAL_ERROR "man --warnings -l: ${code}\n${warnings}")
  endif()
  if(NOT text MATCHES "EXIT STATUS")
    message(FATAL_ERROR "man rendered no EXIT STATUS section")
  endif()
endif()
