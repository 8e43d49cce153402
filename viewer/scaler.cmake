# Region-by-region smooth scaling of the remote surface (pixman does the filtering).
find_package(PkgConfig REQUIRED)
pkg_check_modules(PIXMAN REQUIRED IMPORTED_TARGET pixman-1)
add_library(scaler STATIC ${CMAKE_CURRENT_LIST_DIR}/scaler.cpp ${CMAKE_CURRENT_LIST_DIR}/scaler.h)
target_include_directories(scaler PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(scaler PUBLIC Qt5::Gui PRIVATE PkgConfig::PIXMAN project_options)
