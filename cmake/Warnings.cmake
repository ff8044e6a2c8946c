# Strict warnings for the project's own targets; third-party headers come in as SYSTEM.
function(ov_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough
    -Werror)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports -Wrestrict inside std::string at -O3 for plain concatenations (a known
    # false positive), which would break Release builds.
    target_compile_options(${target} PRIVATE -Wno-restrict)
  endif()
endfunction()
