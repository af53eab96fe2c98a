# SPDX-License-Identifier: MIT
# Warning flags shared by every target of the project.
add_library(rerazera_warnings INTERFACE)
target_compile_options(rerazera_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow
                       $<$<BOOL:${RERAZERA_WERROR}>:-Werror>)
