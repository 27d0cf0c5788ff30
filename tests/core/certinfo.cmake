halvorn_test(certinfo_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/certinfo_test.cpp
  LIBS halvorn_core halvorn_testsupport)
