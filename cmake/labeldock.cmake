# One shape for every subsystem folder:
#   foo.h / foo.cc        -> the static library `<folder>`
#   foo_test.cc           -> the unit-test binary `<folder>_test` (label "unit")
#   <program>_main.cc     -> the program `<program>` in build/bin/
#
#   labeldock_subsystem(<folder> DEPS <libraries...> TEST_DEPS <libraries...>)
function(labeldock_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB all_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  set(lib_sources "")
  set(test_sources "")
  set(main_sources "")
  foreach(src ${all_sources})
    get_filename_component(base ${src} NAME)
    if(base MATCHES "_test\\.cc$")
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
  endforeach()

  if(test_sources)
    add_executable(${name}_test ${test_sources})
    target_link_libraries(${name}_test PRIVATE ${name} ${ARG_TEST_DEPS} GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name}_test PRIVATE
      LABELDOCK_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
      LABELDOCK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    add_test(NAME ${name}_test COMMAND ${name}_test)
    set_tests_properties(${name}_test PROPERTIES LABELS unit TIMEOUT 600)
  endif()
endfunction()

# Every folder includes only the folders its library declares (directly or through them).
add_test(NAME include_deps
         COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${CMAKE_SOURCE_DIR} -P ${CMAKE_CURRENT_LIST_DIR}/check_includes.cmake)
set_tests_properties(include_deps PROPERTIES LABELS unit)
