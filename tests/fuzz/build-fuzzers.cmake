# cmake -DSOURCE=<fuzz dir> -DBINARY=<build dir> -DCXX=<clang++> -DCC=<clang> -P build-fuzzers.cmake
# Configures and builds the fuzz project (targets and seed corpora).
foreach(step IN ITEMS configure build)
  if(step STREQUAL "configure")
    set(cmd ${CMAKE_COMMAND} -S ${SOURCE} -B ${BINARY}
            -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC})
  else()
    set(cmd ${CMAKE_COMMAND} --build ${BINARY} -j2)
  endif()
  execute_process(COMMAND ${cmd} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "fuzz project ${step} failed (${rc})")
  endif()
endforeach()
