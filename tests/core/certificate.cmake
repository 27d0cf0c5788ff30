halvorn_test(certificate_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/certificate_test.cpp
  LIBS halvorn_core halvorn_testsupport)
