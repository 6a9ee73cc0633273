# SPDX-License-Identifier: MIT
# Run by CPack on the package's files before it packs them: CPACK_STRIP_FILES has taken
# the symbols out of the programs, and this takes out the compiler's version notes too, as
# Debian's own packages are stripped.
if(NOT CPACK_VELA_STRIP)
    return()
endif()
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
foreach(program IN LISTS programs)
    execute_process(COMMAND "${CPACK_VELA_STRIP}" --remove-section=.comment
                            --remove-section=.note "${program}"
                    RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "strip ${program}: ${result}")
    endif()
endforeach()
