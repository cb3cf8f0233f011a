# tollivar_component(<name> [DEPS <components>...] [LIBS <libs>...] [TEST_LIBS <libs>...])
#
# Builds src/<name>/*.cc (without *_test.cc) into the static library tollivar_<name>,
# src/<name>/testing/*.cc (if any) into the test-only library tollivar_<name>_testing, and
# src/<name>/*_test.cc into the test program <name>_test, registered with CTest.
#
# DEPS names components (without the tollivar_ prefix) that must already be defined: the layers
# are one-way, so a component can only depend on components declared before it. The component's
# sources see exactly its own folder and the folders of its dependencies, transitively: the
# include root ${PROJECT_BINARY_DIR}/include_roots/<name> holds one symbolic link per visible
# folder (plus the public headers), so an include of a folder above fails to compile.
# tollivar_platform_sources(<list variable>): drops the files of the other platform from the
# list: foo_posix.cc builds on Linux only, foo_win32.cc on Windows only.
function(tollivar_platform_sources variable)
  if(WIN32)
    list(FILTER ${variable} EXCLUDE REGEX "_posix(_test)?\\.cc$")
  else()
    list(FILTER ${variable} EXCLUDE REGEX "_win32(_test)?\\.cc$")
  endif()
  set(${variable} ${${variable}} PARENT_SCOPE)
endfunction()

function(tollivar_component name)
  cmake_parse_arguments(ARG "" "" "DEPS;LIBS;TEST_LIBS" ${ARGN})

  # The visible components: this one and the transitive closure of DEPS.
  set(visible ${name})
  foreach(dep ${ARG_DEPS})
    get_property(dep_visible GLOBAL PROPERTY TOLLIVAR_VISIBLE_${dep})
    if(NOT dep_visible)
      message(FATAL_ERROR "component ${name}: dependency ${dep} is not defined before it")
    endif()
    list(APPEND visible ${dep_visible})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  set_property(GLOBAL PROPERTY TOLLIVAR_VISIBLE_${name} ${visible})

  set(root ${PROJECT_BINARY_DIR}/include_roots/${name})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(component ${visible})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${component} ${root}/${component} SYMBOLIC)
  endforeach()
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/include/tollivar ${root}/tollivar SYMBOLIC)

  set(dep_targets "")
  foreach(dep ${ARG_DEPS})
    list(APPEND dep_targets tollivar_${dep})
  endforeach()

  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cc)
  if(tests)
    list(REMOVE_ITEM sources ${tests})
  endif()
  tollivar_platform_sources(sources)
  tollivar_platform_sources(tests)
  if(tests AND TOLLIVAR_TESTS_EXCLUDED_${name})
    foreach(excluded ${TOLLIVAR_TESTS_EXCLUDED_${name}})
      list(REMOVE_ITEM tests ${CMAKE_CURRENT_SOURCE_DIR}/${excluded})
    endforeach()
  endif()
  if(sources)
    add_library(tollivar_${name} STATIC ${sources})
    # PRIVATE: a dependent sees its own root, never this one's.
    target_include_directories(tollivar_${name} PRIVATE ${root})
    target_link_libraries(tollivar_${name} PUBLIC ${dep_targets} ${ARG_LIBS} Threads::Threads)
  else()
    # Headers only.
    add_library(tollivar_${name} INTERFACE)
    target_link_libraries(tollivar_${name} INTERFACE ${dep_targets} ${ARG_LIBS} Threads::Threads)
  endif()

  # Test support of this component and of the components it sees.
  set(testing_targets "")
  file(GLOB testing_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/testing/*.cc)
  tollivar_platform_sources(testing_sources)
  if(testing_sources AND NOT TOLLIVAR_FUZZ)
    add_library(tollivar_${name}_testing STATIC EXCLUDE_FROM_ALL ${testing_sources})
    target_include_directories(tollivar_${name}_testing PRIVATE ${root})
    target_link_libraries(tollivar_${name}_testing PUBLIC tollivar_${name} GTest::gmock GTest::gtest)
  endif()
  foreach(component ${visible})
    if(TARGET tollivar_${component}_testing)
      list(APPEND testing_targets tollivar_${component}_testing)
    endif()
  endforeach()

  if(tests AND NOT TOLLIVAR_FUZZ)
    add_executable(${name}_test ${tests})
    target_include_directories(${name}_test PRIVATE ${root})
    target_link_libraries(${name}_test PRIVATE tollivar_${name} ${testing_targets} ${ARG_TEST_LIBS}
      GTest::gmock GTest::gtest GTest::gtest_main)
    tollivar_register_test(${name}_test)
  endif()
endfunction()

# tollivar_include_root(<target> <component>): lets a target outside src/ (a cross-component
# test, a fuzz target, a benchmark) see what <component> sees.
function(tollivar_include_root target component)
  target_include_directories(${target} PRIVATE ${PROJECT_BINARY_DIR}/include_roots/${component})
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
  set(filter "")
  if(WIN32 AND TOLLIVAR_LINUX_ONLY_${target})
    # Test cases that stay Linux-only (cmake/TollivarWindows.cmake names each with its reason).
    list(JOIN TOLLIVAR_LINUX_ONLY_${target} ":" excluded)
    set(filter "--gtest_filter=-${excluded}")
  endif()
  add_test(NAME ${target} COMMAND ${target} --gtest_color=no ${filter})
  set_tests_properties(${target} PROPERTIES LABELS "${labels}" TIMEOUT ${ARG_TIMEOUT}
    ENVIRONMENT "TOLLIVAR_SOURCE_DIR=${PROJECT_SOURCE_DIR};TOLLIVAR_BINARY_DIR=${PROJECT_BINARY_DIR}")
endfunction()
