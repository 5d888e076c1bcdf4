# Tests of what is made of the three images, which the packaging preset builds (or brings up to
# date) first: the example setups rehearsed under Wine in both kinds of Windows, the release, and
# the rehearsal kit from the release.
set(images ${PROJECT_SOURCE_DIR}/build)
# The release test leaves its unsigned zips for the kit's test.
add_test(NAME release COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/release_test.py
  ${CMAKE_CURRENT_BINARY_DIR}/release)
add_test(NAME kit COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/kit_test.py
  ${CMAKE_CURRENT_BINARY_DIR}/release)
# Both run the release's ARM64 image in the arm64 root: made, or copied from the cache, here too,
# so that this preset does not depend on the win-arm64 preset's tests having run first.
add_test(NAME arm64-root COMMAND ${PROJECT_SOURCE_DIR}/kit/arm64-root.sh
  ${PROJECT_SOURCE_DIR}/build/arm64-root)
set_tests_properties(arm64-root PROPERTIES FIXTURES_SETUP arm64-root TIMEOUT 3600)
set_tests_properties(release PROPERTIES FIXTURES_SETUP release FIXTURES_REQUIRED arm64-root
  TIMEOUT 1800)
# With an empty cache, the arm64 root and the kit image's Debian layer are made with mmdebstrap
# first: 15 and 18 min on a new, busy machine here, more on a slow network. Bounds against a hang.
set_tests_properties(kit PROPERTIES FIXTURES_REQUIRED "release;arm64-root" TIMEOUT 3600)
set(prefixes VARNHOLT_WINE_PREFIXES=${VARNHOLT_CACHE}/wine-prefixes)
set_tests_properties(release kit PROPERTIES ENVIRONMENT ${prefixes})
# The example setups (built by the examples' targets), each with its version 2 beside it,
# rehearsed. Their runner finds its holder of a 32-bit prefix's desktop beside it (in the kit);
# here it is the project's.
foreach(setup nsis/driver-setup-rehearsal.exe msi/driver-setup-x64-rehearsal.msi
    inno/driver-setup-rehearsal.exe)
  get_filename_component(family ${setup} DIRECTORY)
  add_test(NAME ${family} COMMAND ${VARNHOLT_PYTHON} ${PROJECT_SOURCE_DIR}/kit/rehearse.py
    ${images}/${setup} ${PROJECT_SOURCE_DIR}/examples/${family}/cases.json)
endforeach()
set_tests_properties(nsis msi inno PROPERTIES TIMEOUT 1800 ENVIRONMENT
  "${prefixes};VARNHOLT_DESKTOP_HOLDER=${images}/win-x86/hold-desktop.exe")

# Each row: a build of an example that must fail, and what its message must name.
set(root ${PROJECT_SOURCE_DIR})
set(refusals
  "wixl-standins|${root}/tools/wixl.sh ${root}/examples/msi/driver-setup.wxs -a x64 -D Arch=x64 -D STANDINS=no-such-folder -o ${CMAKE_CURRENT_BINARY_DIR}/refused.msi|Couldn.t find file no-such-folder/newdev.dll"
  "wixl-warned|${root}/tools/wixl.sh ${CMAKE_CURRENT_SOURCE_DIR}/data/warned.wxs -o ${CMAKE_CURRENT_BINARY_DIR}/refused.msi|wixl warned about .*warned.wxs .above.. the package it wrote is removed"
  "wixl-source|${root}/tools/wixl.sh ${root}/examples/msi/no-such.wxs -o ${CMAKE_CURRENT_BINARY_DIR}/refused.msi|no such source: ${root}/examples/msi/no-such.wxs"
  "iscc-standins|${root}/tools/iscc.sh ${root}/examples/inno/driver-setup.iss /O${CMAKE_CURRENT_BINARY_DIR} /DSTANDINS_x64=no-such-folder|Source file .*no-such-folder.newdev.dll.* does not exist"
  "iscc-script|${root}/tools/iscc.sh ${root}/examples/inno/no-such.iss|no such script: ${root}/examples/inno/no-such.iss"
  "wixl-package|${root}/tools/wixl.sh ${root}/examples/msi/driver-setup.wxs -a x64 -D Arch=x64 -D Package=no-such-folder -o ${CMAKE_CURRENT_BINARY_DIR}/refused.msi|Couldn.t find file no-such-folder/demo.inf"
  "iscc-package|${root}/tools/iscc.sh ${root}/examples/inno/driver-setup.iss /O${CMAKE_CURRENT_BINARY_DIR} /DPACKAGE=no-such-folder|No files found matching .*no-such-folder"
  "nsis-package|makensis -WX -DOUTDIR=${CMAKE_CURRENT_BINARY_DIR} -DPACKAGE=no-such-folder ${root}/examples/nsis/driver-setup.nsi|File: .no-such-folder/\\*. -> no files found"
  "version-2-input|${CMAKE_COMMAND} -D FROM=no-such-folder -D TO=${CMAKE_CURRENT_BINARY_DIR}/v2 -P ${root}/examples/demo-package-v2.cmake|version 2 of the demo package needs no-such-folder/demo.inf")
foreach(row IN LISTS refusals)
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 name)
  list(GET row 1 command)
  list(GET row 2 message)
  add_test(NAME refused-${name} COMMAND bash -c "! ${command} >refused-${name}.out 2>&1 && grep -E -q '${message}' refused-${name}.out || ( cat refused-${name}.out && false )")
endforeach()
