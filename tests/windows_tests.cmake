# Tests of the cross-built images, run on the Linux build machine.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(arch x86)
  set(preset win-x86)
else()
  set(arch x64)
  set(preset win-x64)
endif()

add_test(NAME image COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/image_check.py
  $<TARGET_FILE:varnholt> ${arch})
add_test(NAME reproducible COMMAND ${VARNHOLT_PYTHON}
  ${CMAKE_CURRENT_SOURCE_DIR}/reproducible_test.py ${PROJECT_SOURCE_DIR} ${preset})

# Stand-in newdev.dll and DIFxAPI.dll for Wine, kept apart from the image in standins/.
foreach(dll newdev DIFxAPI)
  string(TOLOWER ${dll} def)
  add_library(standin_${dll} SHARED standin/standin.cpp ${PROJECT_BINARY_DIR}/${def}.def
    ${PROJECT_SOURCE_DIR}/platform/sim_services.cpp ${PROJECT_SOURCE_DIR}/platform/surrogate_escape.cpp)
  target_include_directories(standin_${dll} PRIVATE ${PROJECT_SOURCE_DIR})
  set_target_properties(standin_${dll} PROPERTIES PREFIX "" OUTPUT_NAME ${dll}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/standins)
  target_link_options(standin_${dll} PRIVATE -static -s $<$<EQUAL:${CMAKE_SIZEOF_VOID_P},4>:-Wl,--kill-at>)
endforeach()

# The table of cases against the image under Wine, with the stand-ins beside it.
add_test(NAME wine COMMAND ${VARNHOLT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/run_cases.py
  $<TARGET_FILE:varnholt> --wine ${arch} --standins ${CMAKE_BINARY_DIR}/standins)
set_tests_properties(wine PROPERTIES TIMEOUT 1800)
