# The carving scanner: the carver's open disk and its read policy, and the scan worker.
# Included from carver/CMakeLists.txt.
add_library(ov_carver_scanner STATIC ${CMAKE_CURRENT_LIST_DIR}/scanner.cpp)
target_include_directories(ov_carver_scanner PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(ov_carver_scanner PUBLIC ov_carver_catalogue ov_carver_formats ov_carver_results)
ov_warnings(ov_carver_scanner)
