# Cross-building for Windows with Debian's mingw-w64 (posix threads), shared
# by the two toolchain files: each sets QRX_MINGW_ARCH (i686 or x86_64) and
# includes this one. The libraries built by scripts/build-win-deps.sh for
# that architecture live in QRX_WIN_DEPS.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QRX_MINGW_ARCH})
set(QRX_MINGW_TRIPLET ${QRX_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${QRX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QRX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QRX_MINGW_TRIPLET}-windres)

if(NOT QRX_WIN_DEPS AND DEFINED ENV{QRX_WIN_DEPS})
  set(QRX_WIN_DEPS "$ENV{QRX_WIN_DEPS}")
endif()
set(QRX_WIN_DEPS "${QRX_WIN_DEPS}" CACHE PATH "Where the Windows builds of the libraries are")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QRX_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${QRX_MINGW_TRIPLET} ${QRX_WIN_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config looks only at the Windows libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${QRX_WIN_DEPS}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
