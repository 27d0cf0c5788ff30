halvorn_test(nss_trust_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/nss_trust_test.cpp
  LIBS halvorn_service_fixture)
