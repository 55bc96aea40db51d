# Shared helpers for the project's CMake files.
include(GoogleTest)

# The warnings every target of ours is built with; TARNWICK_WERROR (on in the presets CI uses)
# makes them errors. Unused parameters are left alone: overrides of the library's interfaces
# often need only some of theirs.
option(TARNWICK_WERROR "Treat compiler warnings as errors" OFF)
add_library(tw_warnings INTERFACE)
target_compile_options(tw_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
  -Wno-unused-parameter $<$<BOOL:${TARNWICK_WERROR}>:-Werror>)

# tw_add_library(NAME [DEPS ...] [SUBFOLDERS ...])
# One static library per source folder, built from every .cpp file of that folder and of the
# named sub-folders (parts of the same library, such as the packet encodings).
function(tw_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;SUBFOLDERS" ${ARGN})
  set(_globs ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(sub IN LISTS ARG_SUBFOLDERS)
    if(NOT IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${sub})
      message(FATAL_ERROR "tw_add_library(${name}): no sub-folder ${sub}")
    endif()
    list(APPEND _globs ${CMAKE_CURRENT_SOURCE_DIR}/${sub}/*.cpp)
  endforeach()
  file(GLOB _srcs CONFIGURE_DEPENDS ${_globs})
  if(NOT _srcs)
    # A folder still holding only headers.
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    set_property(TARGET ${name} PROPERTY TW_LIBRARY ON)
    return()
  endif()
  add_library(${name} STATIC ${_srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  target_link_libraries(${name} PRIVATE tw_warnings)
  # Marks our own libraries for the include-dependency check (generated helper targets, such as
  # Qt's resource objects, are not layers of their own).
  set_property(TARGET ${name} PROPERTY TW_LIBRARY ON)
endfunction()

# tw_add_test(NAME LABELS <label...> SOURCES <src...> [DEPS <lib...>] [ENV <VAR=value...>])
# A GoogleTest executable; its cases are discovered when ctest runs, each carrying the labels.
function(tw_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS;SOURCES;DEPS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  # gtest_main is an archive: a test that defines its own main keeps it.
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_link_libraries(${name} PRIVATE tw_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENV}")
endfunction()

# tw_add_fuzzer(NAME SOURCES <src...> DEPS <lib...> [DEFINES <macro...>])
# A libFuzzer program (the fuzz preset instruments every object; the fuzzer's main is linked
# here), with the project's warnings.
function(tw_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;DEFINES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} tw_warnings)
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# Adds every sub-folder of the current folder that holds a CMakeLists.txt, in name order.
function(tw_add_subfolders)
  file(GLOB _groups LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT _groups)
  foreach(group ${_groups})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${group}/CMakeLists.txt)
      add_subdirectory(${group})
    endif()
  endforeach()
endfunction()
