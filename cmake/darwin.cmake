# Builds for Macs with clang on another system, against a macOS SDK folder
# given in VEXEL_MACOS_SDK (a cache or environment variable), for the
# architecture in VEXEL_MACOS_ARCH (arm64 or x86_64; arm64 unset). Programs
# link with LLVM's Mach-O linker against the SDK's text stubs, so only what the
# stubs list can be imported; CMake's compiler checks build static libraries.
set(CMAKE_SYSTEM_NAME Darwin)
if(NOT VEXEL_MACOS_ARCH)
  set(VEXEL_MACOS_ARCH "$ENV{VEXEL_MACOS_ARCH}")
endif()
if(NOT VEXEL_MACOS_ARCH)
  set(VEXEL_MACOS_ARCH arm64)
endif()
if(NOT VEXEL_MACOS_ARCH MATCHES "^(arm64|x86_64)$")
  message(FATAL_ERROR "VEXEL_MACOS_ARCH must be arm64 or x86_64, not '${VEXEL_MACOS_ARCH}'")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${VEXEL_MACOS_ARCH})
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
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEXEL_MACOS_SDK VEXEL_MACOS_ARCH)
set(CMAKE_OSX_SYSROOT "${VEXEL_MACOS_SDK}")
list(APPEND CMAKE_FIND_ROOT_PATH "${VEXEL_MACOS_SDK}")
set(CMAKE_OSX_ARCHITECTURES ${VEXEL_MACOS_ARCH})

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
set(CMAKE_CXX_COMPILER_TARGET "${VEXEL_MACOS_ARCH}-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET}")
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

# The SDK's version goes into each program's build-version load command; the
# folder is named for it (MacOSX14.2.sdk).
if(NOT VEXEL_MACOS_SDK_VERSION)
  get_filename_component(vexel_sdk_name "${VEXEL_MACOS_SDK}" NAME)
  string(REGEX MATCH "[0-9]+(\\.[0-9]+)+" VEXEL_MACOS_SDK_VERSION "${vexel_sdk_name}")
endif()
if(NOT VEXEL_MACOS_SDK_VERSION)
  message(FATAL_ERROR "Name the SDK's version in VEXEL_MACOS_SDK_VERSION (such as 14.2)")
endif()
# The compile flags reach the link line too, where -nostdinc++ means nothing.
find_program(vexel_mac_linker NAMES ld64.lld-14 ld64.lld REQUIRED NO_CACHE)
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Qunused-arguments --ld-path=${vexel_mac_linker} -Wl,-platform_version,macos,${CMAKE_OSX_DEPLOYMENT_TARGET},${VEXEL_MACOS_SDK_VERSION}")

set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# CMake requires the tool for the Mac's install step, which never runs here;
# any program stands in where LLVM's version is not installed.
find_program(CMAKE_INSTALL_NAME_TOOL
             NAMES install_name_tool llvm-install-name-tool-14 llvm-install-name-tool true)
