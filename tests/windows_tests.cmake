# Tests of the cross-built images, run on the Linux build machine.
add_test(NAME image COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/image_check.py
  $<TARGET_FILE:varnholt> ${VARNHOLT_TARGET})
add_test(NAME reproducible COMMAND ${VARNHOLT_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_test.py ${PROJECT_SOURCE_DIR} win-${VARNHOLT_TARGET})

# Stand-in newdev.dll and DIFxAPI.dll for Wine, kept apart from the image in standins/. Both
# are the same simulation; each exports only its own function.
add_library(standin_services STATIC standin/standin.cpp
  ${PROJECT_SOURCE_DIR}/platform/sim_services.cpp ${PROJECT_SOURCE_DIR}/platform/surrogate_escape.cpp)
target_include_directories(standin_services PUBLIC ${PROJECT_SOURCE_DIR})
foreach(dll newdev DIFxAPI)
  string(TOLOWER ${dll} def)
  add_library(standin_${dll} SHARED ${PROJECT_BINARY_DIR}/${def}.def)
  target_link_libraries(standin_${dll} PRIVATE -Wl,--whole-archive standin_services
    -Wl,--no-whole-archive)
  set_target_properties(standin_${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
    LINKER_LANGUAGE CXX RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/standins)
  target_link_options(standin_${dll} PRIVATE -static -s ${VARNHOLT_EXPORT_FLAGS})
endforeach()

# The table of cases against the image under Wine, with the stand-ins beside it.
add_test(NAME wine COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/run_cases.py
  $<TARGET_FILE:varnholt> --wine ${VARNHOLT_TARGET} --standins ${CMAKE_BINARY_DIR}/standins)
set_tests_properties(wine PROPERTIES TIMEOUT 1800)
