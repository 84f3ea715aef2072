# The default build line of bug reports: "Build <project> PC <version> @<change> <suffix>",
# where the change is the git commit of the source tree and the suffix one letter for the
# build type (d Debug, r Release, i RelWithDebInfo, m MinSizeRel, x other). It is generated
# at build time, so a new commit shows without a new configure run; the header is only
# rewritten when the line changes.
#
# Included from a CMakeLists.txt it defines yr_build_info(<target>); run with -P it writes
# the header.

if(CMAKE_SCRIPT_MODE_FILE)
  execute_process(COMMAND git -C "${YR_SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE change RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(failed OR change STREQUAL "")
    set(change "unknown")
  endif()
  set(line "Build ${YR_PROJECT} PC ${YR_VERSION} @${change} ${YR_SUFFIX}")
  set(content "// Generated at build time by cmake/YrBuildInfo.cmake: the default build line of bug reports.\n#pragma once\n#define YR_BUILD_INFO \"${line}\"\n")
  set(previous "")
  if(EXISTS "${YR_OUTPUT}")
    file(READ "${YR_OUTPUT}" previous)
  endif()
  if(NOT previous STREQUAL content)
    file(WRITE "${YR_OUTPUT}" "${content}")
  endif()
  return()
endif()

set(YR_BUILD_INFO_SCRIPT "${CMAKE_CURRENT_LIST_FILE}")

function(yr_build_info target)
  set(directory "${CMAKE_BINARY_DIR}/generated")
  set(header "${directory}/yr_build_info.h")
  if(CMAKE_BUILD_TYPE STREQUAL "Debug")
    set(suffix d)
  elseif(CMAKE_BUILD_TYPE STREQUAL "Release")
    set(suffix r)
  elseif(CMAKE_BUILD_TYPE STREQUAL "RelWithDebInfo")
    set(suffix i)
  elseif(CMAKE_BUILD_TYPE STREQUAL "MinSizeRel")
    set(suffix m)
  else()
    set(suffix x)
  endif()
  add_custom_target(yr_build_info
    COMMAND ${CMAKE_COMMAND} -DYR_SOURCE_DIR=${PROJECT_SOURCE_DIR} -DYR_OUTPUT=${header}
            -DYR_PROJECT=${PROJECT_NAME} -DYR_VERSION=${PROJECT_VERSION} -DYR_SUFFIX=${suffix}
            -P ${YR_BUILD_INFO_SCRIPT}
    BYPRODUCTS ${header}
    COMMENT "Build line for bug reports"
    VERBATIM)
  add_dependencies(${target} yr_build_info)
  target_include_directories(${target} PRIVATE ${directory})
endfunction()
