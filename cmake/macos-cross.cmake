# Cross-builds the macOS tool on Linux, universal as on a Mac (arm64 and x86_64): clang-16 for
# macOS 13 against Apple's SDK (never part of this repository; MACOS_SDK names it), linked by
# ld64.lld from lld-16, slices joined by llvm-lipo, archives made by llvm-libtool-darwin.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES "arm64;x86_64" CACHE STRING "")
set(CMAKE_OSX_DEPLOYMENT_TARGET 13.0 CACHE STRING "")

if(NOT CMAKE_OSX_SYSROOT)
    set(CMAKE_OSX_SYSROOT "$ENV{MACOS_SDK}")
endif()
if(NOT IS_DIRECTORY "${CMAKE_OSX_SYSROOT}/System/Library/Frameworks")
    message(FATAL_ERROR "No macOS SDK at '${CMAKE_OSX_SYSROOT}': set MACOS_SDK to a MacOSX13.0.sdk")
endif()
set(CMAKE_OSX_SYSROOT "${CMAKE_OSX_SYSROOT}" CACHE PATH "")

set(sorvanel_target arm64-apple-macos13.0)
foreach(lang C CXX OBJC OBJCXX)
    set(CMAKE_${lang}_COMPILER_TARGET ${sorvanel_target})
    # This machine's LIBRARY_PATH and CPATH would leak Linux folders into every command.
    set(CMAKE_${lang}_COMPILER_LAUNCHER env -u LIBRARY_PATH -u CPATH)
    set(CMAKE_${lang}_LINKER_LAUNCHER env -u LIBRARY_PATH -u CPATH)
endforeach()
find_program(sorvanel_clang NAMES clang-16 REQUIRED)
find_program(sorvanel_clangxx NAMES clang++-16 REQUIRED)
set(CMAKE_C_COMPILER ${sorvanel_clang})
set(CMAKE_OBJC_COMPILER ${sorvanel_clang})
set(CMAKE_CXX_COMPILER ${sorvanel_clangxx})
set(CMAKE_OBJCXX_COMPILER ${sorvanel_clangxx})
find_program(CMAKE_AR NAMES llvm-ar-16 REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib-16 REQUIRED)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-16 REQUIRED)

# With several -arch, clang builds each slice and joins them with a program named lipo, which it
# looks for first in the -B folder: there it finds llvm-lipo.
find_program(sorvanel_lipo NAMES llvm-lipo-16 REQUIRED)
set(sorvanel_tools "${CMAKE_BINARY_DIR}/macos-cross-tools")
file(MAKE_DIRECTORY "${sorvanel_tools}")
file(CREATE_LINK "${sorvanel_lipo}" "${sorvanel_tools}/lipo" SYMBOLIC)
foreach(lang C CXX OBJC OBJCXX)
    set(CMAKE_${lang}_FLAGS_INIT "-B${sorvanel_tools}")
endforeach()

# A static library of universal objects must hold one archive per slice, as Apple's libtool
# makes it; an ar archive of fat objects has no index that ld64.lld can use.
find_program(sorvanel_libtool NAMES llvm-libtool-darwin-16 REQUIRED)
foreach(lang C CXX OBJC OBJCXX)
    set(CMAKE_${lang}_ARCHIVE_CREATE "")
    set(CMAKE_${lang}_ARCHIVE_APPEND "")
    set(CMAKE_${lang}_ARCHIVE_FINISH "")
    set(CMAKE_${lang}_CREATE_STATIC_LIBRARY "${sorvanel_libtool} -static -o <TARGET> <OBJECTS>")
endforeach()

# -mlinker-version=800 makes clang pass the -platform_version that ld64.lld needs; a warning of
# the linker fails the build like any other.
find_program(sorvanel_ld64 NAMES ld64.lld-16 REQUIRED)
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "-B${sorvanel_tools} --ld-path=${sorvanel_ld64} -mlinker-version=800 -Wl,-fatal_warnings")
endforeach()

# Asio's headers alone (asio.hpp and asio/), never the rest of the host's /usr/include.
set(SORVANEL_ASIO_DIR /usr/include CACHE PATH "")

# Headers and libraries come from the SDK only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
