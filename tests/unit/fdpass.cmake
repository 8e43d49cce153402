add_qt_test(test_fdpass SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_fdpass.cpp LIBS utils)
