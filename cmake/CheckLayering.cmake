# The floors of the code, checked on every include of the project's own
# headers. Includes run downwards only:
#   platform/*.h         the interfaces; includes only platform/
#   base/                log channels, error reporting, the guard, text
#                        helpers; includes platform/ and base/
#   registry/            unit records; knows records, not frames: nothing
#                        from device/, monitoring/ or settings/
#   settings/, device/, monitoring/
#                        subsystems; may include one another, never core/
#   core/                the receiver core; everything but the window
#   platform/qt/, app/   the window and the program's entry
# Qt headers appear only under platform/qt/ and in app/main.cpp.
file(GLOB_RECURSE files
  ${SOURCE_DIR}/app/*.h ${SOURCE_DIR}/app/*.cpp
  ${SOURCE_DIR}/base/*.h ${SOURCE_DIR}/base/*.cpp
  ${SOURCE_DIR}/core/*.h ${SOURCE_DIR}/core/*.cpp
  ${SOURCE_DIR}/device/*.h ${SOURCE_DIR}/device/*.cpp
  ${SOURCE_DIR}/registry/*.h ${SOURCE_DIR}/registry/*.cpp
  ${SOURCE_DIR}/monitoring/*.h ${SOURCE_DIR}/monitoring/*.cpp
  ${SOURCE_DIR}/settings/*.h ${SOURCE_DIR}/settings/*.cpp
  ${SOURCE_DIR}/platform/*.h ${SOURCE_DIR}/platform/*.cpp)

set(allowed_platform "platform")
set(allowed_base "platform|base")
set(allowed_registry "platform|base|registry")
set(allowed_settings "platform|base|registry|settings|device|monitoring")
set(allowed_device "${allowed_settings}")
set(allowed_monitoring "${allowed_settings}")
set(allowed_core "${allowed_settings}|core")

set(bad "")
foreach(f ${files})
  file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
  if(rel MATCHES "^platform/qt/" OR rel MATCHES "^app/")
    continue()
  endif()
  string(REGEX MATCH "^[a-z]+" floor "${rel}")
  file(STRINGS ${f} qt REGEX "^[ \t]*#[ \t]*include[ \t]*<Q")
  if(qt)
    list(APPEND bad "${rel}: Qt header")
  endif()
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z/]+)/.*" "\\1" target "${line}")
    if(target MATCHES "^platform/qt" OR NOT target MATCHES "^(${allowed_${floor}})$")
      list(APPEND bad "${rel} includes ${target}/")
    endif()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n  " text "${bad}")
  message(FATAL_ERROR "Includes against the floors:\n  ${text}")
endif()
message(STATUS "layering ok: ${CMAKE_CURRENT_LIST_FILE}")
