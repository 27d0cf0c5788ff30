halvorn_test(utility_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/utility_test.cpp
  LIBS halvorn_core halvorn_testsupport)
