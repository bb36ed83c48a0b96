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
function(labeldock_add_unit_test target sources libs test_name)
  add_executable(${target} ${sources})
  target_link_libraries(${target} PRIVATE ${libs} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${target} PRIVATE
    LABELDOCK_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    LABELDOCK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
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
