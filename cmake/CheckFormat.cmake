# Every C++ file of the project as the repository's .clang-format lays it
# out: clang-format --dry-run --Werror over all of them in one run; fails
# naming each file that differs. Run by hand from the top folder:
#   cmake -P cmake/CheckFormat.cmake
# SOURCE_DIR (default: the folder above this one), CLANG_FORMAT (default:
# clang-format on the path) and FILES (a list: those files instead of the
# whole project) may be given with -D.
if(NOT SOURCE_DIR)
  set(SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/..)
endif()
get_filename_component(SOURCE_DIR "${SOURCE_DIR}" ABSOLUTE)
if(NOT CLANG_FORMAT)
  set(CLANG_FORMAT clang-format)
endif()

if(NOT FILES)
  set(folders app base core device monitoring registry settings platform tests tools bench)
  set(patterns "")
  foreach(folder ${folders})
    list(APPEND patterns ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  endforeach()
  file(GLOB_RECURSE FILES ${patterns})
  list(SORT FILES)
endif()
if(NOT FILES)
  message(FATAL_ERROR "No C++ files found under ${SOURCE_DIR}")
endif()

# --style=file: the .clang-format nearest to each file, the repository's own.
execute_process(
  COMMAND ${CLANG_FORMAT} --style=file --dry-run --Werror ${FILES}
  WORKING_DIRECTORY ${SOURCE_DIR}
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE out)
if(result STREQUAL "0")
  list(LENGTH FILES count)
  message(STATUS "format ok: ${count} files")
  return()
endif()

# One "path:line:col: error: code should be clang-formatted" per place.
string(REGEX MATCHALL "[^\n]*: error: code should be clang-formatted" places "${out}")
set(bad "")
foreach(place ${places})
  string(REGEX REPLACE ":[0-9]+:[0-9]+: error: code should be clang-formatted$" "" path "${place}")
  list(APPEND bad "${path}")
endforeach()
if(NOT bad)
  # clang-format itself failed (a missing file, a broken .clang-format).
  message(FATAL_ERROR "${CLANG_FORMAT} failed (${result}):\n${out}")
endif()
list(REMOVE_DUPLICATES bad)
set(text "")
foreach(path ${bad})
  set(rel "${path}")
  if(IS_ABSOLUTE "${path}")
    file(RELATIVE_PATH rel ${SOURCE_DIR} ${path})
  endif()
  string(APPEND text "\n  ${rel}")
endforeach()
list(LENGTH bad count)
list(LENGTH FILES total)
message(FATAL_ERROR "Not laid out as .clang-format says (${count} of ${total} files):${text}\n"
  "Format them with: clang-format -i FILE...")
