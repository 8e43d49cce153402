add_qt_test(test_scaler SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_scaler.cpp LIBS scaler LABEL unit)
