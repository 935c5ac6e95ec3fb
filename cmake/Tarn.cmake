# Build conventions shared by every folder.

set(TARN_WARNINGS -Wall -Wextra -Werror -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 reports false -Wrestrict overlaps inside libstdc++'s std::string at -O3.
  list(APPEND TARN_WARNINGS -Wno-restrict)
endif()

if(TARN_SANITIZE)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # The sanitizers' instrumentation makes GCC 12 see uninitialised members
    # inside libstdc++ (std::function in std::regex) that are not there.
    list(APPEND TARN_WARNINGS -Wno-maybe-uninitialized)
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TARN_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# tarn_library(<name> <sources...>)
# One static library per folder. Its headers are included as "<folder>/<file>.h"
# relative to the folder's parent, e.g. "cmn/ctx.h".
function(tarn_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${TARN_WARNINGS})
  get_filename_component(parent "${CMAKE_CURRENT_SOURCE_DIR}" DIRECTORY)
  target_include_directories(${name} PUBLIC "${parent}")
endfunction()

# tarn_tests(<library> [LIBS <more libraries>])
# Every test/*_test.cpp beside the library becomes one test program.
function(tarn_tests lib)
  if(NOT TARN_TESTS)
    return()
  endif()
  cmake_parse_arguments(T "" "" "LIBS" ${ARGN})
  file(GLOB tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/test/*_test.cpp")
  foreach(src IN LISTS tests)
    get_filename_component(stem "${src}" NAME_WE)
    set(exe "${lib}_${stem}")
    add_executable(${exe} "${src}")
    target_compile_options(${exe} PRIVATE ${TARN_WARNINGS})
    add_dependencies(${exe} tarn_catalog)
    target_link_libraries(${exe} PRIVATE ${lib} ${T_LIBS} tarn_testsupport
                          GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${exe}
      DISCOVERY_MODE PRE_TEST
      PROPERTIES
        TIMEOUT 120
        ENVIRONMENT "TARN_ROOT=${CMAKE_BINARY_DIR}/testroot")
  endforeach()
endfunction()

# tarn_fuzzer(<name> <source> <libraries...>)
function(tarn_fuzzer name src)
  if(NOT TARN_FUZZ)
    return()
  endif()
  add_executable(${name} "${src}")
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined ${TARN_WARNINGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${ARGN})
  set_property(GLOBAL APPEND PROPERTY TARN_FUZZERS ${name})
endfunction()
