# The certificate chooser: scripted through its dialog interface, and the
# real GTK dialog driven with xdotool on a private Xvfb display.
halvorn_test(chooser_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chooser_test.cpp
  LIBS halvorn_core halvorn_testsupport)
