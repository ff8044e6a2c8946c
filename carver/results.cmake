# The carver's results tree, find, text view and saving (folders and zip archives through minizip).
# Included from carver/CMakeLists.txt.
find_package(PkgConfig REQUIRED)
pkg_check_modules(MINIZIP REQUIRED IMPORTED_TARGET minizip)

add_library(ov_carver_results STATIC
  ${CMAKE_CURRENT_LIST_DIR}/results.cpp
  ${CMAKE_CURRENT_LIST_DIR}/saving.cpp
  ${CMAKE_CURRENT_LIST_DIR}/exif_date.cpp)
target_include_directories(ov_carver_results PUBLIC ${PROJECT_SOURCE_DIR})
# minizip is public so that tests can read the archives back with its unzip side.
target_link_libraries(ov_carver_results PUBLIC ov_disk ov_workbench_models PkgConfig::MINIZIP)
ov_warnings(ov_carver_results)
