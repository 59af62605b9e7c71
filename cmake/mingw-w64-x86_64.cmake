# Cross-building for 64-bit Windows with Debian's mingw-w64.
set(QRX_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
