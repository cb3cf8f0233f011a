# `cmake --build <build> --target docs`: HTML API reference of include/tollivar/ in
# <build>/docs/api/html. Defined only where doxygen is installed; never part of `all`.
find_package(Doxygen QUIET)
if(DOXYGEN_FOUND)
  set(TOLLIVAR_DOXYFILE ${PROJECT_BINARY_DIR}/Doxyfile)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Doxyfile.in ${TOLLIVAR_DOXYFILE} @ONLY)
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/docs/api
    COMMAND ${DOXYGEN_EXECUTABLE} ${TOLLIVAR_DOXYFILE}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMENT "API reference of include/tollivar/ -> ${PROJECT_BINARY_DIR}/docs/api/html"
    VERBATIM)
endif()
