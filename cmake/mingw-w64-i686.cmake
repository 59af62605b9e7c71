# Cross-building for 32-bit Windows with Debian's mingw-w64: the server as
# deployed.
set(QRX_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
