halvorn_test(platform_keychain_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keychain_test.cpp
  LIBS halvorn_platform halvorn_testsupport SQLite::SQLite3)
