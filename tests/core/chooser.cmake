# The certificate chooser: scripted through its dialog interface, and the
# real GTK dialog driven with xdotool on a private Xvfb display.
halvorn_test(chooser_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chooser_test.cpp
  LIBS halvorn_core halvorn_testsupport)
# GTK keeps caches for the life of the process that LeakSanitizer reports.
halvorn_test(chooser_gtk_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/chooser_gtk_test.cpp
  LIBS halvorn_core halvorn_testsupport PkgConfig::GTK3
  ENV ASAN_OPTIONS=detect_leaks=0)
