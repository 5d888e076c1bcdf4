# Tests of the cross-built images, run on the Linux build machine.
add_test(NAME image COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/image_check.py
  $<TARGET_FILE:varnholt> ${VARNHOLT_TARGET})
add_test(NAME load-config COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/load_config_test.py
  $<TARGET_FILE:varnholt> ${PROJECT_BINARY_DIR}/varnholt.map)
add_test(NAME reproducible COMMAND ${VARNHOLT_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_test.py ${PROJECT_SOURCE_DIR} win-${VARNHOLT_TARGET})

# The table of cases against the image under Wine, with the stand-ins beside it or Wine's own
# driver services. ARM64 images run under the arm64 Wine of an arm64 Debian root, made once in
# the cache and copied under build/.
set(wine_options)
if(VARNHOLT_TARGET STREQUAL arm64)
  set(root ${PROJECT_SOURCE_DIR}/build/arm64-root)
  add_test(NAME arm64-root COMMAND ${PROJECT_SOURCE_DIR}/kit/arm64-root.sh ${root})
  set_tests_properties(arm64-root PROPERTIES FIXTURES_SETUP arm64-root TIMEOUT 3600)
  set(wine_options --arm64-root ${root})
endif()
add_test(NAME wine COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/run_cases.py
  $<TARGET_FILE:varnholt> --wine ${VARNHOLT_TARGET} --standins ${CMAKE_BINARY_DIR} ${wine_options})
# Every Wine session of the tests copies a prefix kept in the cache once made.
set_tests_properties(wine PROPERTIES TIMEOUT 1800
  ENVIRONMENT VARNHOLT_WINE_PREFIXES=${VARNHOLT_CACHE}/wine-prefixes)
if(VARNHOLT_TARGET STREQUAL arm64)
  set_tests_properties(wine PROPERTIES FIXTURES_REQUIRED arm64-root)
endif()
