halvorn_test(core_keychain_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keychain_test.cpp
  LIBS halvorn_core halvorn_testsupport SQLite::SQLite3)
