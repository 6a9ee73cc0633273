# SPDX-License-Identifier: MIT
# Compresses IN into OUT as Debian wants its manual pages and changelogs: gzip -9n, best
# compression and no name or time stamp inside, so the same text gives the same bytes.
#   cmake -DIN=page.1 -DOUT=page.1.gz -P gzip.cmake
find_program(GZIP_PROGRAM gzip REQUIRED)
execute_process(COMMAND "${GZIP_PROGRAM}" -9nc "${IN}" OUTPUT_FILE "${OUT}.tmp"
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    file(REMOVE "${OUT}.tmp")
    message(FATAL_ERROR "gzip ${IN}: ${result}")
endif()
file(RENAME "${OUT}.tmp" "${OUT}")
