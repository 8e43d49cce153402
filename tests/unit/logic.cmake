add_qt_test(test_logger SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_logger.cpp LIBS base
            ENV TZ=UTC)
target_include_directories(test_logger PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)

add_qt_test(test_args SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_args.cpp LIBS base)
target_include_directories(test_args PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)

add_qt_test(test_geometry SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_geometry.cpp LIBS viewergeometry)

add_qt_test(test_activation SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_activation.cpp LIBS appshell)
target_include_directories(test_activation PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)

add_qt_test(test_surface SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_surface.cpp LIBS spiceclient)
target_include_directories(test_surface PRIVATE ${PROJECT_SOURCE_DIR}/tests/common)
