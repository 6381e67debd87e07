# Cross-builds the macOS tool on Linux: clang-16 for arm64-apple-macos13.0 against Apple's SDK
# (never part of this repository; MACOS_SDK names it), linked by ld64.lld from lld-16.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_ARCHITECTURES arm64 CACHE STRING "")
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

# -mlinker-version=800 makes clang pass the -platform_version that ld64.lld needs; a warning of
# the linker fails the build like any other.
find_program(sorvanel_ld64 NAMES ld64.lld-16 REQUIRED)
foreach(kind EXE SHARED MODULE)
    set(CMAKE_${kind}_LINKER_FLAGS_INIT "--ld-path=${sorvanel_ld64} -mlinker-version=800 -Wl,-fatal_warnings")
endforeach()

# Asio's headers alone (asio.hpp and asio/), never the rest of the host's /usr/include.
set(SORVANEL_ASIO_DIR /usr/include CACHE PATH "")

# Headers and libraries come from the SDK only; programs from the host.
set(CMAKE_FIND_ROOT_PATH "${CMAKE_OSX_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
