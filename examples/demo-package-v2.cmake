# Version 2 of the demo package, for rehearsing upgrades: the same files with the INF's DriverVer
# raised to 2.0.0.0.
#     cmake -D FROM=examples/demo-package -D TO=OUT -P examples/demo-package-v2.cmake
foreach(name demo.inf demo.cat x86/demo.sys amd64/demo.sys arm64/demo.sys)
  if(NOT EXISTS ${FROM}/${name})
    message(FATAL_ERROR "version 2 of the demo package needs ${FROM}/${name}, which is not there")
  endif()
endforeach()
file(READ ${FROM}/demo.inf inf)
string(REGEX REPLACE "(DriverVer *= *[0-9/]+,)1\\.0\\.0\\.0" "\\12.0.0.0" raised "${inf}")
if(raised STREQUAL inf)
  message(FATAL_ERROR "${FROM}/demo.inf has no DriverVer of 1.0.0.0 to raise")
endif()
# Made anew, so that nothing of an earlier layout stays in it.
file(REMOVE_RECURSE ${TO})
file(MAKE_DIRECTORY ${TO})
file(WRITE ${TO}/demo.inf "${raised}")
file(COPY ${FROM}/demo.cat ${FROM}/x86 ${FROM}/amd64 ${FROM}/arm64 DESTINATION ${TO})
