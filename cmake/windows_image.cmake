# The Windows image: console program entered through the runtime's wide start-up, importing
# kernel32, user32, newdev and DIFxAPI at load time, with the manifest as its only resource.
enable_language(RC)

# VARNHOLT_TARGET names the image as the presets do; VARNHOLT_ARCH as its manifest does. On x86
# the two driver-service functions are __stdcall, exported and imported without the @16.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(VARNHOLT_TARGET x86)
  set(VARNHOLT_ARCH x86)
  set(VARNHOLT_IMAGE_FLAGS -Wl,--image-base,0x00400000 -Wl,--disable-large-address-aware)
  set(VARNHOLT_KILL_AT -k)
  # The link map names symbols as C does; the linker's options take them decorated.
  set(VARNHOLT_LOAD_CONFIG __load_config_used)
  # The x86 image unwinds nothing: no exceptions, and Windows walks x86 stacks without tables.
  target_compile_options(varnholt_logic PRIVATE -fno-asynchronous-unwind-tables)
  set(VARNHOLT_EXPORT_FLAGS -Wl,--kill-at)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL ARM64)
  # Which Debian versions of clang, lld and the runtime's source made the image.
  configure_file(${VARNHOLT_TOOLCHAIN_VERSIONS} ${PROJECT_BINARY_DIR}/toolchain-versions.txt COPYONLY)
  set(VARNHOLT_TARGET arm64)
  set(VARNHOLT_ARCH arm64)
  set(VARNHOLT_IMAGE_FLAGS -Wl,--high-entropy-va)
  set(VARNHOLT_LOAD_CONFIG _load_config_used)
else()
  set(VARNHOLT_TARGET x64)
  set(VARNHOLT_ARCH amd64)
  set(VARNHOLT_IMAGE_FLAGS -Wl,--high-entropy-va)
  set(VARNHOLT_LOAD_CONFIG _load_config_used)
endif()

# printf is the runtime's own (msvcrt), not MinGW's C99 one that g++ selects by default: it is
# about 30 KiB smaller, and the texts need nothing beyond %d of a 32-bit code.
target_compile_definitions(varnholt_logic PRIVATE __USE_MINGW_ANSI_STDIO=0)

# MinGW-w64 ships no import library with DiInstallDriverW or DriverPackageUninstallW.
set(VARNHOLT_IMPORT_LIBS)
foreach(dll newdev difxapi)
  file(READ ${PROJECT_SOURCE_DIR}/platform/${dll}.def def)
  if(NOT VARNHOLT_KILL_AT)
    string(REPLACE "@16" "" def "${def}")
  endif()
  # Written only when it changes, as the manifest: the same file written anew would link the
  # stand-ins again, and make every example setup made of them again.
  file(WRITE ${PROJECT_BINARY_DIR}/${dll}.def.new "${def}")
  file(COPY_FILE ${PROJECT_BINARY_DIR}/${dll}.def.new ${PROJECT_BINARY_DIR}/${dll}.def
    ONLY_IF_DIFFERENT)
  set(lib ${PROJECT_BINARY_DIR}/lib${dll}_import.a)
  add_custom_command(OUTPUT ${lib}
    COMMAND ${CMAKE_DLLTOOL} ${VARNHOLT_KILL_AT} -d ${PROJECT_BINARY_DIR}/${dll}.def -l ${lib}
    DEPENDS ${PROJECT_SOURCE_DIR}/platform/${dll}.def)
  list(APPEND VARNHOLT_IMPORT_LIBS ${lib})
endforeach()
add_custom_target(varnholt_import_libs DEPENDS ${VARNHOLT_IMPORT_LIBS})

# Both manifests come from one template. sed, not file(READ), since CMake drops the CR that
# must end the declaration line.
execute_process(
  COMMAND sed "s/@ARCH@/${VARNHOLT_ARCH}/; s/@VERSION@/${PROJECT_VERSION}/"
    ${PROJECT_SOURCE_DIR}/resources/varnholt.manifest.in
  OUTPUT_FILE ${PROJECT_BINARY_DIR}/varnholt.manifest.new
  COMMAND_ERROR_IS_FATAL ANY)
file(COPY_FILE ${PROJECT_BINARY_DIR}/varnholt.manifest.new ${PROJECT_BINARY_DIR}/varnholt.manifest
  ONLY_IF_DIFFERENT)
set(MANIFEST varnholt.manifest)
configure_file(${PROJECT_SOURCE_DIR}/resources/varnholt.rc.in ${PROJECT_BINARY_DIR}/varnholt.rc @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/VERSION ${PROJECT_SOURCE_DIR}/resources/varnholt.manifest.in
  ${PROJECT_SOURCE_DIR}/platform/newdev.def ${PROJECT_SOURCE_DIR}/platform/difxapi.def)

add_executable(varnholt ${PROJECT_BINARY_DIR}/varnholt.rc
  ${PROJECT_SOURCE_DIR}/resources/load_config.cpp)
set_source_files_properties(${PROJECT_BINARY_DIR}/varnholt.rc PROPERTIES
  OBJECT_DEPENDS ${PROJECT_BINARY_DIR}/varnholt.manifest)
set_target_properties(varnholt PROPERTIES LINKER_LANGUAGE CXX)
add_dependencies(varnholt varnholt_import_libs)
target_link_libraries(varnholt PRIVATE varnholt_logic ${VARNHOLT_IMPORT_LIBS} user32 kernel32)
target_link_options(varnholt PRIVATE
  -municode -static -s -Wl,--gc-sections
  -Wl,--require-defined=${VARNHOLT_LOAD_CONFIG} -Wl,-Map=${PROJECT_BINARY_DIR}/varnholt.map
  -Wl,--no-insert-timestamp
  -Wl,--major-os-version,6 -Wl,--minor-os-version,0
  -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
  -Wl,--dynamicbase -Wl,--nxcompat -Wl,--tsaware
  ${VARNHOLT_IMAGE_FLAGS})

# GNU ld before binutils 2.45 does not fill the load-configuration directory from the symbol, so
# the build does, from the link map, before the image is signed.
add_custom_command(TARGET varnholt POST_BUILD
  COMMAND ${VARNHOLT_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/fill_load_config.py
    $<TARGET_FILE:varnholt> ${PROJECT_BINARY_DIR}/varnholt.map _load_config_used
  VERBATIM)
