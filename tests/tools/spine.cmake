halvorn_test(install_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/install_test.cpp
  LIBS halvorn_service_fixture halvorn_service)
halvorn_test(call_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/call_test.cpp
  LIBS halvorn_service_fixture LOCK ports)
