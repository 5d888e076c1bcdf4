# Tests of the cross-built images, run on the Linux build machine.
add_test(NAME image COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/image_check.py
  $<TARGET_FILE:varnholt> ${VARNHOLT_TARGET})
add_test(NAME load-config COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/load_config_test.py
  $<TARGET_FILE:varnholt> ${PROJECT_BINARY_DIR}/varnholt.map)
add_test(NAME reproducible COMMAND ${VARNHOLT_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_test.py ${PROJECT_SOURCE_DIR} win-${VARNHOLT_TARGET})

# The table of cases against the image under Wine, with the stand-ins beside it or Wine's own
# driver services.
add_test(NAME wine COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/run_cases.py
  $<TARGET_FILE:varnholt> --wine ${VARNHOLT_TARGET} --standins ${CMAKE_BINARY_DIR})
set_tests_properties(wine PROPERTIES TIMEOUT 1800)
