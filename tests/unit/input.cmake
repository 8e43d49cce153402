add_qt_test(test_keymap SOURCES test_keymap.cpp LIBS spiceclient LABEL unit)
# test_input replaces the inputs-channel senders with recorders.
add_qt_test(test_input SOURCES test_input.cpp LIBS spiceclient inputs_seam LABEL unit)
add_qt_test(test_keys SOURCES test_keys.cpp LIBS spiceclient LABEL unit)
