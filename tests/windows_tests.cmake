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
