halvorn_test(osopenssl_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/osopenssl_test.cpp
  LIBS halvorn_core halvorn_testsupport)
