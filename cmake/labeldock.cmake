# One shape for every subsystem folder:
#   foo.h / foo.cc        -> the static library `<folder>`
#   foo_test.cc           -> the unit-test binary `<folder>_test` (label "unit")
#   <program>_main.cc     -> the program `<program>` in build/bin/
#
#   labeldock_subsystem(<folder> DEPS <libraries...> TEST_DEPS <libraries...>)
#
# A folder may also hold a small library of its own that others link without the folder's
# whole library (declared first, before labeldock_subsystem):
#   labeldock_library(<name> SOURCES a.cc b.cc DEPS <libraries...> TEST_DEPS <libraries...>)
# builds `<name>` from the named files; their a_test.cc, b_test.cc make `<name>_test` (ctest
# name `<folder>_<name>_test`, label "unit"). The folder's library leaves these files out.

# Compiling the test sources is most of a clean build (three builds in script/test), and most of
# that is GoogleTest's header and the code its macros expand to. So every test binary, unit or
# scenario, is made by labeldock_test_executable, which
#   - compiles its own sources at -Og in the optimised builds: the code under test keeps the
#     build's level, the test bodies cost a third to compile and check the same (-O1 is no
#     cheaper and brings GCC 12's false array-bounds warnings on std::string additions);
#   - reuses one precompiled header (GoogleTest and the standard headers the tests use) instead
#     of parsing them in every file. The compiler launcher's cache (ccache) cannot use such a
#     header unless told to be sloppy about it, so a build with a launcher keeps plain headers:
#     there the cache does the saving.
if(CMAKE_CXX_COMPILER_LAUNCHER)
  set(pch_default OFF)
else()
  set(pch_default ON)
endif()
option(LABELDOCK_TEST_PCH "One precompiled GoogleTest header for every test binary" ${pch_default})
set(LABELDOCK_TEST_OPT $<$<CONFIG:RelWithDebInfo,Release,MinSizeRel>:-Og>)
set(LABELDOCK_TEST_DEFS LABELDOCK_BIN_DIR="${CMAKE_BINARY_DIR}/bin" LABELDOCK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
if(LABELDOCK_TEST_PCH)
  # The header is compiled once, with the options and definitions every test source gets.
  file(WRITE ${CMAKE_BINARY_DIR}/labeldock_test_pch.cc "")
  add_library(labeldock_test_pch OBJECT ${CMAKE_BINARY_DIR}/labeldock_test_pch.cc)
  target_link_libraries(labeldock_test_pch PRIVATE GTest::gtest)
  target_compile_definitions(labeldock_test_pch PRIVATE ${LABELDOCK_TEST_DEFS})
  target_compile_options(labeldock_test_pch PRIVATE ${LABELDOCK_TEST_OPT})
  target_precompile_headers(labeldock_test_pch PRIVATE
    <gtest/gtest.h> <string> <string_view> <vector> <map> <memory> <functional> <thread> <atomic>
    <mutex> <algorithm> <utility> <sstream>)
endif()

# Builds every unit test binary (script/build's sanitizer and cross builds need no more).
add_custom_target(labeldock_unit_tests)

#   labeldock_test_executable(<target> SOURCES <files...> LIBS <libraries...>)
function(labeldock_test_executable target)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS} GTest::gtest testkit_main)
  target_compile_definitions(${target} PRIVATE ${LABELDOCK_TEST_DEFS})
  target_compile_options(${target} PRIVATE ${LABELDOCK_TEST_OPT})
  if(LABELDOCK_TEST_PCH)
    target_precompile_headers(${target} REUSE_FROM labeldock_test_pch)
  endif()
endfunction()

function(labeldock_add_unit_test target sources libs test_name)
  labeldock_test_executable(${target} SOURCES ${sources} LIBS ${libs})
  add_dependencies(labeldock_unit_tests ${target})
  add_test(NAME ${test_name} COMMAND ${target})
  set_tests_properties(${test_name} PROPERTIES LABELS unit TIMEOUT 600)
endfunction()

function(labeldock_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;TEST_DEPS" ${ARGN})
  set(sources "")
  set(tests "")
  foreach(src ${ARG_SOURCES})
    list(APPEND sources ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    string(REGEX REPLACE "\\.cc$" "_test.cc" test ${src})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${test})
      list(APPEND tests ${CMAKE_CURRENT_SOURCE_DIR}/${test})
    endif()
  endforeach()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  set_property(DIRECTORY APPEND PROPERTY LABELDOCK_CLAIMED ${sources} ${tests})
  if(tests)
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    labeldock_add_unit_test(${name}_test "${tests}" "${name};${ARG_TEST_DEPS}" ${folder}_${name}_test)
  endif()
endfunction()

function(labeldock_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  get_property(claimed DIRECTORY PROPERTY LABELDOCK_CLAIMED)
  set(lib_sources "")
  set(test_sources "")
  set(main_sources "")
  foreach(src ${all_sources})
    get_filename_component(base ${src} NAME)
    if(src IN_LIST claimed)
      continue()
    elseif(base MATCHES "_test\\.cc$")
      list(APPEND test_sources ${src})
    elseif(base MATCHES "_main\\.cc$")
      list(APPEND main_sources ${src})
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()

  if(lib_sources)
    add_library(${name} STATIC ${lib_sources})
  else()
    add_library(${name} INTERFACE)
  endif()
  if(lib_sources)
    target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    target_include_directories(${name} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()

  foreach(src ${main_sources})
    get_filename_component(base ${src} NAME)
    string(REGEX REPLACE "_main\\.cc$" "" prog ${base})
    add_executable(${prog} ${src})
    target_link_libraries(${prog} PRIVATE ${name})
    # cmake/install.cmake puts every program where the appliance runs it, judged by its folder.
    get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set_target_properties(${prog} PROPERTIES LABELDOCK_FOLDER ${folder})
    set_property(GLOBAL APPEND PROPERTY LABELDOCK_PROGRAMS ${prog})
  endforeach()

  if(test_sources)
    labeldock_add_unit_test(${name}_test "${test_sources}" "${name};${ARG_TEST_DEPS}" ${name}_test)
  endif()
endfunction()

# Every folder includes only the folders its library declares (directly or through them).
add_test(NAME include_deps
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check_includes.cmake)
set_tests_properties(include_deps PROPERTIES LABELS unit)
