# tollivar_component(<name> [DEPS <targets>...] [LIBS <libs>...] [TEST_LIBS <libs>...])
#
# Builds src/<name>/*.cc (without *_test.cc) into the static library tollivar_<name>,
# and src/<name>/*_test.cc into the test program <name>_test, registered with CTest.
# Components may depend on each other in cycles (static libraries allow it).
function(tollivar_component name)
  cmake_parse_arguments(ARG "" "" "DEPS;LIBS;TEST_LIBS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  if(sources)
    add_library(tollivar_${name} STATIC ${sources})
    target_include_directories(tollivar_${name} PUBLIC
      ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(tollivar_${name} PUBLIC ${ARG_DEPS} ${ARG_LIBS} Threads::Threads)
  else()
    # Headers only so far.
    add_library(tollivar_${name} INTERFACE)
    target_include_directories(tollivar_${name} INTERFACE
      ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/include)
    target_link_libraries(tollivar_${name} INTERFACE ${ARG_DEPS} ${ARG_LIBS} Threads::Threads)
  endif()
  if(tests AND NOT TOLLIVAR_FUZZ)
    add_executable(${name}_test ${tests})
    target_link_libraries(${name}_test PRIVATE tollivar_${name} ${ARG_TEST_LIBS}
      GTest::gmock GTest::gtest GTest::gtest_main)
    tollivar_register_test(${name}_test)
  endif()
endfunction()

# tollivar_register_test(<target> [LABELS <labels>...] [TIMEOUT <seconds>])
function(tollivar_register_test target)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  set(labels unit)
  if(ARG_LABELS)
    set(labels ${ARG_LABELS})
  endif()
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
  set_tests_properties(${target} PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "TOLLIVAR_SOURCE_DIR=${PROJECT_SOURCE_DIR};TOLLIVAR_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
