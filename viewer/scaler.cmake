# Region-by-region smooth scaling of the remote surface: pixman's filters, with its reduction run
# by the scaler's own two-pass code and its enlargement by pixman itself.
find_package(PkgConfig REQUIRED)
pkg_check_modules(PIXMAN REQUIRED IMPORTED_TARGET pixman-1)
add_library(scaler STATIC ${CMAKE_CURRENT_LIST_DIR}/scaler.cpp ${CMAKE_CURRENT_LIST_DIR}/scaler.h)
target_include_directories(scaler PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(scaler PUBLIC Qt5::Gui PRIVATE PkgConfig::PIXMAN project_options)
