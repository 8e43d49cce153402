add_qt_test(test_keys SOURCES test_keys.cpp LIBS spiceclient LABEL unit)
