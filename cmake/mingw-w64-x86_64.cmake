# Cross-building for 64-bit Windows with Debian's mingw-w64 (posix threads).
# The libraries built by scripts/build-win-deps.sh live in QRX_WIN_DEPS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT QRX_WIN_DEPS AND DEFINED ENV{QRX_WIN_DEPS})
  set(QRX_WIN_DEPS "$ENV{QRX_WIN_DEPS}")
endif()
set(QRX_WIN_DEPS "${QRX_WIN_DEPS}" CACHE PATH "Where the Windows builds of the libraries are")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QRX_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${QRX_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the Windows libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${QRX_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
