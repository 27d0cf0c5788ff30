halvorn_test(tools_keychain_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/keychain_tool_test.cpp
  LIBS halvorn_platform halvorn_testsupport SQLite::SQLite3)
add_dependencies(tools_keychain_test halvorn-keychain)
