# SPDX-License-Identifier: MIT
# The manual renders without a single groff warning (-ww turns every
# warning class on): a macro given the wrong arguments, a bad escape or a
# line that runs into the next all show up here.
execute_process(COMMAND ${GROFF} -ww -z -man -Tutf8 ${PAGE}
                RESULT_VARIABLE status ERROR_VARIABLE warnings)
if(NOT status EQUAL 0 OR NOT warnings STREQUAL "")
  message(FATAL_ERROR "groff on ${PAGE} (status ${status}):\n${warnings}")
endif()
