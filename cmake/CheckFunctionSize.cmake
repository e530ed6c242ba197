# No function longer than 60 lines in the floors below the window: clang-tidy's
# readability-function-size with cmake/FunctionSize.clang-tidy over every .cpp
# file of the given folders (and the inline functions of their headers), as
# the build compiles them. Fails naming each function that is too long. The
# tests run it once per folder (function_size.<folder>); by hand, from the top
# folder, after a configure that wrote the build folder's
# compile_commands.json:
#   cmake -DBUILD_DIR=build -P cmake/CheckFunctionSize.cmake
# SOURCE_DIR (default: the folder above this one), CLANG_TIDY (default:
# clang-tidy on the path) and FOLDERS (a list; default: base core device
# monitoring registry settings) may be given with -D.
if(NOT SOURCE_DIR)
  set(SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
endif()
get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
if(BUILD_DIR)
  get_filename_component(BUILD_DIR "${BUILD_DIR}" ABSOLUTE)
endif()
if(NOT BUILD_DIR OR NOT EXISTS "${BUILD_DIR}/compile_commands.json")
  message(FATAL_ERROR "BUILD_DIR must name a configured build folder (compile_commands.json)")
endif()
if(NOT CLANG_TIDY)
  set(CLANG_TIDY clang-tidy)
endif()
if(NOT FOLDERS)
  set(FOLDERS base core device monitoring registry settings)
endif()

set(patterns "")
foreach(folder ${FOLDERS})
  list(APPEND patterns ${SOURCE_DIR}/${folder}/*.cpp)
endforeach()
file(GLOB_RECURSE files ${patterns})
list(SORT files)
if(NOT files)
  message(FATAL_ERROR "No .cpp files under ${FOLDERS} in ${SOURCE_DIR}")
endif()
# The headers of these folders only: a header of another floor is checked
# with that floor.
list(JOIN FOLDERS "|" alternatives)
set(header_filter "/(${alternatives})/[^/]*\\.h$")

execute_process(
  COMMAND ${CLANG_TIDY} -p ${BUILD_DIR} --quiet
    --config-file=${CMAKE_CURRENT_LIST_DIR}/FunctionSize.clang-tidy
    --header-filter=${header_filter} ${files}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)
if(NOT result STREQUAL "0")
  # The files did not parse (a stale build folder, a missing header).
  message(FATAL_ERROR "${CLANG_TIDY} failed (${result}):\n${out}\n${err}")
endif()

# Each "path:line:col: warning: function 'Name' exceeds ..." is followed by
# its "path:line:col: note: N lines including whitespace and comments".
string(REGEX MATCHALL "[^\n]*: warning: function '[^']*' exceeds[^\n]*" warnings "${out}")
string(REGEX MATCHALL ": note: [0-9]+ lines including" notes "${out}")
set(bad "")
foreach(warning ${warnings})
  string(REGEX MATCH "^(.*):([0-9]+):[0-9]+: warning: function '([^']*)'" _ "${warning}")
  set(path "${CMAKE_MATCH_1}")
  if(IS_ABSOLUTE "${path}")
    file(RELATIVE_PATH path ${SOURCE_DIR} ${path})
  endif()
  set(entry "${path}:${CMAKE_MATCH_2} ${CMAKE_MATCH_3}")
  list(POP_FRONT notes note)
  if(note MATCHES "([0-9]+) lines")
    string(APPEND entry " (${CMAKE_MATCH_1} lines)")
  endif()
  list(APPEND bad "${entry}")
endforeach()
list(REMOVE_DUPLICATES bad)
list(LENGTH files count)
if(NOT bad)
  message(STATUS "function size ok: ${count} files")
  return()
endif()
list(JOIN bad "\n  " text)
list(LENGTH bad too_long)
message(FATAL_ERROR "Longer than 60 lines (${too_long} functions in ${count} files):\n  ${text}\n"
  "Split them where they have steps.")
