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

# tarn_stage_headers(<target> <include-prefix> <folder>)
# Makes the headers (and .def tables) directly in <folder>, not those of its
# subfolders, visible to <target> and to whatever links it, as "<include-prefix>/<file>.h", and
# nothing else: each target gets a directory of its own in the build tree that
# holds links to just these headers. A library therefore sees its own headers
# and those of the libraries it links, never a neighbour's by accident.
function(tarn_stage_headers target prefix folder)
  file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${folder}")
  # The folder's source path is kept inside the staging path, so tools that
  # filter on it (clang-tidy's header filter) still recognise the headers.
  set(root "${CMAKE_BINARY_DIR}/include/${rel}")
  # Only this target's own subdirectory is renewed: a subfolder's library keeps
  # its staging directory below the same root.
  file(REMOVE_RECURSE "${root}/${prefix}")
  file(MAKE_DIRECTORY "${root}/${prefix}")
  file(GLOB headers CONFIGURE_DEPENDS "${folder}/*.h" "${folder}/*.def")
  foreach(header IN LISTS headers)
    get_filename_component(leaf "${header}" NAME)
    file(CREATE_LINK "${header}" "${root}/${prefix}/${leaf}" SYMBOLIC COPY_ON_ERROR)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE "${root}")
  else()
    target_include_directories(${target} PUBLIC "${root}")
  endif()
endfunction()

# tarn_library(<name> <sources...>)
# One static library per folder. Its headers are included as "<folder>/<file>.h",
# e.g. "cmn/ctx.h"; only the folder's own headers are exposed (see
# tarn_stage_headers). Link the libraries whose headers it includes with
# target_link_libraries; cmake/layers.txt says which ones it may.
function(tarn_library name)
  add_library(${name} STATIC ${ARGN})
  target_compile_options(${name} PRIVATE ${TARN_WARNINGS})
  get_filename_component(folder "${CMAKE_CURRENT_SOURCE_DIR}" NAME)
  tarn_stage_headers(${name} "${folder}" "${CMAKE_CURRENT_SOURCE_DIR}")
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
    # Test programs are built without optimisation whatever the preset: their
    # own code is fixtures and assertions, the code under test is in the
    # libraries, built with the preset's flags. At -O2 the assertion macros
    # make a test file take three to four times as long to compile.
    target_compile_options(${exe} PRIVATE ${TARN_WARNINGS} -O0)
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

# tarn_fuzzer(<name> <source> <libraries...> [SEED_FILES <files...>])
# A libFuzzer target and its seeds. The source defines LLVMFuzzerTestOneInput,
# which calls tarn::fuzz::Accepted() on its accept path, and FuzzSeeds (see
# fuzz/fuzzseed.h). The build runs seeds_<name>, the same code with a main of
# its own, which writes the seeds, and the SEED_FILES, into
# seeds/<name>/ and the target's libFuzzer options into seeds/<name>.options,
# and fails when a seed does not reach the accept path. Targets of the
# product (not of the stand-ins, which link none of its code) keep debug.log
# quiet.
set(TARN_FUZZ_ROOT "${CMAKE_BINARY_DIR}/root")
set(TARN_FUZZ_ROOT_DIRS)
if(TARN_FUZZ)
  file(STRINGS "${CMAKE_SOURCE_DIR}/testsupport/layout.txt" layout)
  foreach(dir IN LISTS layout)
    list(APPEND TARN_FUZZ_ROOT_DIRS "${TARN_FUZZ_ROOT}/${dir}")
  endforeach()
endif()
function(tarn_fuzzer name src)
  if(NOT TARN_FUZZ)
    return()
  endif()
  cmake_parse_arguments(F "" "" "SEED_FILES" ${ARGN})
  set(libs ${F_UNPARSED_ARGUMENTS})
  set(objects $<TARGET_OBJECTS:${name}_input>)
  if(NOT "${CMAKE_CURRENT_SOURCE_DIR}" MATCHES "^${CMAKE_SOURCE_DIR}/platform(/|$)")
    list(APPEND objects $<TARGET_OBJECTS:tarn_fuzzquiet>)
  endif()
  add_library(${name}_input OBJECT "${src}")
  target_compile_options(${name}_input PRIVATE -fsanitize=fuzzer ${TARN_WARNINGS})
  target_link_libraries(${name}_input PRIVATE ${libs} tarn_fuzzseed)

  add_executable(${name} ${objects})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${libs})
  set_property(GLOBAL APPEND PROPERTY TARN_FUZZERS ${name})

  add_executable(seeds_${name} ${objects} $<TARGET_OBJECTS:tarn_fuzzseedmain>)
  target_link_libraries(seeds_${name} PRIVATE ${libs})
  set(seeds "${CMAKE_BINARY_DIR}/seeds/${name}")
  add_custom_command(
    OUTPUT "${seeds}.options"
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TARN_FUZZ_ROOT_DIRS}
    COMMAND ${CMAKE_COMMAND} -E env --unset=VEKDBG --unset=VEKOPTS "TARN_ROOT=${TARN_FUZZ_ROOT}"
            $<TARGET_FILE:seeds_${name}> "${seeds}" "${seeds}.options" ${F_SEED_FILES}
    DEPENDS seeds_${name} ${F_SEED_FILES}
    COMMENT "Writing and checking the seeds of ${name}"
    VERBATIM)
  add_custom_target(${name}_seeds ALL DEPENDS "${seeds}.options")
endfunction()
