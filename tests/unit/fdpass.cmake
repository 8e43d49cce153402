add_qt_test(test_fdpass SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_fdpass.cpp LIBS utils)
target_include_directories(test_fdpass PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
