halvorn_test(loginitem_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/loginitem_test.cpp
  LIBS halvorn_platform halvorn_testsupport)
