# Compresses the manual page IN into OUT (gzip), as Debian keeps its manual pages:
#   cmake -DIN=page.1 -DOUT=page.1.gz -P gzip.cmake
file(ARCHIVE_CREATE OUTPUT "${OUT}" PATHS "${IN}" FORMAT raw COMPRESSION GZip)
