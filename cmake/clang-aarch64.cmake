# ARM64 Windows with Debian's clang and lld. Debian has no C runtime for this target: the
# project's script builds one from Debian's MinGW-w64 source into a folder under build/, once.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(MINGW_TRIPLE aarch64-w64-mingw32)
# The reproducibility test points a second build at a runtime built a second time.
if(DEFINED ENV{VARNHOLT_ARM64_TOOLCHAIN})
  set(toolchain $ENV{VARNHOLT_ARM64_TOOLCHAIN})
else()
  get_filename_component(toolchain ${CMAKE_CURRENT_LIST_DIR}/../build/toolchain-arm64 ABSOLUTE)
endif()
execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../tools/arm64-toolchain.sh ${toolchain}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "The ARM64 toolchain could not be set up in ${toolchain}")
endif()
set(VARNHOLT_TOOLCHAIN_VERSIONS ${toolchain}/versions.txt)

set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_SYSROOT ${toolchain}/sysroot)
set(CMAKE_RC_COMPILER ${toolchain}/bin/${MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${toolchain}/bin/${MINGW_TRIPLE}-dlltool)
# lld-14 has no unversioned ld.lld (that is Debian's lld package), so clang is given its path.
# The runtime and Windows' import libraries only: there is no C++ library for this target, and
# CMake's default list of MinGW libraries names some the runtime build does not make.
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -fno-rtti")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=/usr/bin/ld.lld-14 -nostdlib++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld --ld-path=/usr/bin/ld.lld-14 -nostdlib++ -static")
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "Libraries every C++ program links")
set(CMAKE_FIND_ROOT_PATH ${toolchain}/sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
