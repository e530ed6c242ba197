# The floors of the code, checked on every include of the project's own
# headers. Each floor is a folder and a library (the top CMakeLists.txt);
# includes run downwards only, to the floors a floor's library links:
#   platform/    interfaces, value types, POSIX implementations
#   base/        the ground floor: platform/
#   registry/    base/ and below
#   settings/    base/ and below
#   monitoring/  registry/, settings/ and below
#   device/      monitoring/ and below
#   core/        device/ and below
#   qt/, app/    the window, the Qt adapters and the program's entry: any
# Qt headers appear only under qt/ and in app/. Nothing below qt/ includes
# anything from qt/ or app/.
set(floors platform base registry settings monitoring device core qt app)
set(files "")
foreach(floor ${floors})
  file(GLOB_RECURSE found ${SOURCE_DIR}/${floor}/*.h ${SOURCE_DIR}/${floor}/*.cpp)
  list(APPEND files ${found})
endforeach()

set(allowed_platform "platform")
set(allowed_base "platform|base")
set(allowed_registry "${allowed_base}|registry")
set(allowed_settings "${allowed_base}|settings")
set(allowed_monitoring "${allowed_base}|registry|settings|monitoring")
set(allowed_device "${allowed_monitoring}|device")
set(allowed_core "${allowed_device}|core")
set(allowed_qt "${allowed_core}|qt")
set(allowed_app "${allowed_qt}|app")

set(bad "")
foreach(f ${files})
  file(RELATIVE_PATH rel ${SOURCE_DIR} ${f})
  string(REGEX MATCH "^[a-z]+" floor "${rel}")
  if(NOT floor MATCHES "^(qt|app)$")
    file(STRINGS ${f} qt REGEX "^[ \t]*#[ \t]*include[ \t]*<Q")
    if(qt)
      list(APPEND bad "${rel}: Qt header")
    endif()
  endif()
  file(STRINGS ${f} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[a-z]+/")
  foreach(line ${includes})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([a-z]+)/.*" "\\1" target "${line}")
    if(NOT target MATCHES "^(${allowed_${floor}})$")
      list(APPEND bad "${rel} includes ${target}/")
    endif()
  endforeach()
endforeach()
if(bad)
  string(REPLACE ";" "\n  " text "${bad}")
  message(FATAL_ERROR "Includes against the floors:\n  ${text}")
endif()
message(STATUS "layering ok: ${CMAKE_CURRENT_LIST_FILE}")
