# Fails when a file outside platform/ (other than the program's entry)
# includes a Qt header: the logic must build and run without Qt.
file(GLOB_RECURSE files
  ${SOURCE_DIR}/app/*.h ${SOURCE_DIR}/app/*.cpp
  ${SOURCE_DIR}/device/*.h ${SOURCE_DIR}/device/*.cpp
  ${SOURCE_DIR}/registry/*.h ${SOURCE_DIR}/registry/*.cpp
  ${SOURCE_DIR}/monitoring/*.h ${SOURCE_DIR}/monitoring/*.cpp
  ${SOURCE_DIR}/settings/*.h ${SOURCE_DIR}/settings/*.cpp
  ${SOURCE_DIR}/platform/*.h ${SOURCE_DIR}/platform/*.cpp)
set(bad "")
foreach(f ${files})
  if(f MATCHES "/platform/qt/" OR f MATCHES "/app/main\\.cpp$")
    continue()
  endif()
  file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]Q")
  if(lines)
    list(APPEND bad "${f}")
  endif()
endforeach()
if(bad)
  message(FATAL_ERROR "Qt headers outside platform/: ${bad}")
endif()
message(STATUS "layering ok: ${CMAKE_CURRENT_LIST_FILE}")
