# The include rules the include views cannot enforce on their own, run over
# the sources at every build (cmake -P, SOURCE_DIR and STAMP set):
#
# - no include climbs with "../": the compiler resolves it from the
#   including file's own folder, past every view, so it would reach any
#   folder of the tree;
# - the neutral platform headers and the subsystems above them never include
#   platform/linux: what a port replaces stays behind the neutral interfaces.
#
# Every broken rule is named with its file, line and include; the build stops.
cmake_minimum_required(VERSION 3.22)

set(folders channel socket supervision links menu overlays hotkeys host platform tools tests bench fuzz views)
set(neutral channel socket supervision links menu overlays hotkeys host platform)

set(broken 0)
foreach(folder ${folders})
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.hpp ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source ${sources})
    file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
    set(linuxAllowed TRUE)
    if(folder IN_LIST neutral AND NOT shown MATCHES "^platform/linux/")
      set(linuxAllowed FALSE)
    endif()
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include")
    # Most files break nothing: only a suspect one is read line by line.
    set(suspect FALSE)
    foreach(line IN LISTS lines)
      if(line MATCHES "\\.\\./" OR (NOT linuxAllowed AND line MATCHES "platform/linux/"))
        set(suspect TRUE)
      endif()
    endforeach()
    if(NOT suspect)
      continue()
    endif()
    # Line numbers: the file's lines counted up to each include.
    file(STRINGS ${source} all)
    set(number 0)
    foreach(line IN LISTS all)
      math(EXPR number "${number} + 1")
      if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]*)[\">]")
        continue()
      endif()
      set(included "${CMAKE_MATCH_1}")
      if(included MATCHES "(^|/)\\.\\.(/|$)")
        message("${shown}:${number}: #include \"${included}\" climbs with ../; include by the folder's name from the top of the tree")
        math(EXPR broken "${broken} + 1")
      elseif(NOT linuxAllowed AND included MATCHES "^platform/linux/")
        message("${shown}:${number}: #include \"${included}\" reaches below the neutral platform headers; a subsystem sees platform/ only, never platform/linux/")
        math(EXPR broken "${broken} + 1")
      endif()
    endforeach()
  endforeach()
endforeach()

if(broken GREATER 0)
  message(FATAL_ERROR "${broken} include(s) break the layering (see above)")
endif()
file(TOUCH ${STAMP})
