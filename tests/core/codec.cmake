halvorn_test(codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_test.cpp
  LIBS halvorn_core halvorn_testsupport)
halvorn_test(codepage_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/codepage_test.cpp
  LIBS halvorn_core halvorn_testsupport)
