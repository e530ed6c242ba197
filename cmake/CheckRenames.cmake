cmake_minimum_required(VERSION 3.25)
# A file is written anew in one place only: ReplaceAtomically in base/File.cpp
# (temporary file, sync, rename, folder sync). Any other rename() in the
# product's code is a second, hand-written save (the send journal's
# quarantine copies a damaged file aside, it does not rename it).
set(allowed "base/File.cpp")
file(GLOB_RECURSE files
  ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h ${SOURCE_DIR}/base/*.cpp
  ${SOURCE_DIR}/base/*.h ${SOURCE_DIR}/registry/*.cpp ${SOURCE_DIR}/registry/*.h
  ${SOURCE_DIR}/settings/*.cpp ${SOURCE_DIR}/settings/*.h ${SOURCE_DIR}/monitoring/*.cpp
  ${SOURCE_DIR}/monitoring/*.h ${SOURCE_DIR}/device/*.cpp ${SOURCE_DIR}/device/*.h
  ${SOURCE_DIR}/core/*.cpp ${SOURCE_DIR}/core/*.h ${SOURCE_DIR}/qt/*.cpp ${SOURCE_DIR}/qt/*.h
  ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h)
set(count 0)
set(bad "")
foreach(f ${files})
  file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
  file(STRINGS ${f} calls REGEX "(^|[^A-Za-z0-9_])rename(at2?)?[ \t]*\\(")
  list(LENGTH calls n)
  math(EXPR count "${count} + ${n}")
  if(n GREATER 0 AND NOT rel IN_LIST allowed)
    list(APPEND bad "${rel}")
  endif()
endforeach()
if(bad OR count GREATER 1)
  string(REPLACE ";" "\n  " text "${bad}")
  message(FATAL_ERROR "${count} rename() call(s); outside ReplaceAtomically:\n  ${text}")
endif()
message(STATUS "renames ok: ${count}")
