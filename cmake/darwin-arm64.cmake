# Builds for Apple silicon Macs with clang on another system, against a macOS
# SDK folder given in VEXEL_MACOS_SDK (a cache or environment variable).
# Nothing can be linked without the Mac's own libraries, so CMake's compiler
# checks build static libraries only; scripts/macos_check.sh stops at objects.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
# Libraries, headers and packages come from the SDK and from the roots the
# caller adds to CMAKE_FIND_ROOT_PATH; tools from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT VEXEL_MACOS_SDK)
  set(VEXEL_MACOS_SDK "$ENV{VEXEL_MACOS_SDK}")
endif()
if(NOT IS_DIRECTORY "${VEXEL_MACOS_SDK}/usr/include/c++/v1")
  message(FATAL_ERROR "VEXEL_MACOS_SDK must name a macOS SDK folder, not '${VEXEL_MACOS_SDK}'")
endif()
# The compiler checks run in projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXEL_MACOS_SDK)
set(CMAKE_OSX_SYSROOT "${VEXEL_MACOS_SDK}")
list(APPEND CMAKE_FIND_ROOT_PATH "${VEXEL_MACOS_SDK}")
set(CMAKE_OSX_ARCHITECTURES arm64)

if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang++-14)
endif()
find_program(vexel_mac_compiler "${CMAKE_CXX_COMPILER}" REQUIRED NO_CACHE)
set(CMAKE_CXX_COMPILER "${vexel_mac_compiler}")
set(CMAKE_OBJCXX_COMPILER "${vexel_mac_compiler}")

# The project sets the deployment target before project(); the triple carries it.
if(NOT CMAKE_OSX_DEPLOYMENT_TARGET)
  set(CMAKE_OSX_DEPLOYMENT_TARGET 12.3)
endif()
set(CMAKE_CXX_COMPILER_TARGET "arm64-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET}")
set(CMAKE_OBJCXX_COMPILER_TARGET "${CMAKE_CXX_COMPILER_TARGET}")

# The SDK's libc++, never the host's C++ library or a libc++ installed beside
# the compiler.
set(vexel_mac_flags "-stdlib=libc++ -nostdinc++ -isystem ${VEXEL_MACOS_SDK}/usr/include/c++/v1")
# Clang before 17 leaves this macro to Apple's own driver; without it the SDK
# reads the deployment target as 0 (and, among others, dispatch objects stop
# being Objective-C objects).
execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -dumpversion
                OUTPUT_VARIABLE vexel_clang_version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(vexel_clang_version VERSION_LESS 17)
  string(REPLACE "." ";" vexel_target_parts "${CMAKE_OSX_DEPLOYMENT_TARGET}.0.0")
  list(GET vexel_target_parts 0 vexel_major)
  list(GET vexel_target_parts 1 vexel_minor)
  list(GET vexel_target_parts 2 vexel_patch)
  math(EXPR vexel_min_required "${vexel_major} * 10000 + ${vexel_minor} * 100 + ${vexel_patch}")
  string(APPEND vexel_mac_flags " -D__ENVIRONMENT_OS_VERSION_MIN_REQUIRED__=${vexel_min_required}")
endif()
set(CMAKE_CXX_FLAGS_INIT "${vexel_mac_flags}")
set(CMAKE_OBJCXX_FLAGS_INIT "${vexel_mac_flags}")

set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake requires the tool for the Mac's link step, which never runs here; any
# program stands in where LLVM's version is not installed.
find_program(CMAKE_INSTALL_NAME_TOOL
             NAMES install_name_tool llvm-install-name-tool-14 llvm-install-name-tool true)
