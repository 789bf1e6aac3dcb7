# One version for everything: the project's, with the git description of the
# checkout when there is one ("0.9.0 (git 9508587)", "-dirty" when the tree
# has changes). Read once at configure time.
#   vesk_version          INTERFACE target: #include "vesk_version.h"
#   vesk_version_resource(<target> "<description>")
#                         a VERSIONINFO resource for a Windows DLL or EXE
set(VESK_VERSION ${PROJECT_VERSION})
set(VESK_VERSION_TEXT ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${PROJECT_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --always --dirty --abbrev=7
                  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE _describe
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND _describe)
    set(VESK_VERSION_TEXT "${PROJECT_VERSION} (git ${_describe})")
  endif()
endif()
set(_generated ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vesk_version.h.in ${_generated}/vesk_version.h @ONLY)
add_library(vesk_version INTERFACE)
target_include_directories(vesk_version INTERFACE ${_generated})

function(vesk_version_resource target description)
  if(NOT VESK_WINDOWS)
    return()
  endif()
  get_target_property(_type ${target} TYPE)
  if(_type STREQUAL "SHARED_LIBRARY")
    set(VESK_RC_FILETYPE VFT_DLL)
    set(VESK_RC_FILE ${target}.dll)
  else()
    set(VESK_RC_FILETYPE VFT_APP)
    set(VESK_RC_FILE ${target}.exe)
  endif()
  set(VESK_RC_DESCRIPTION "${description}")
  set(VESK_RC_NAME ${target})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${CMAKE_BINARY_DIR}/generated/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
endfunction()
