# pt_check_layers(srcdir "layer:allowed layers..." ...): every source in srcdir/<layer>/
# may include project headers only from the layers listed for it. A layer is a folder
# below srcdir: a GUI-free one ("job"), its window folder ("job/gui") or the Qt pieces
# the windows share ("gui"). An include of "job/gui/..." names the layer "job/gui", so a
# GUI-free source that reaches a window, or a window that reaches another subsystem's
# window, stops the build. Checked at configure time.
function(pt_check_layers srcdir)
  foreach(rule ${ARGN})
    string(REPLACE ":" ";" parts "${rule}")
    list(GET parts 0 layer)
    list(GET parts 1 allowed)
    string(REPLACE " " ";" allowed "${allowed}")
    file(GLOB files CONFIGURE_DEPENDS ${srcdir}/${layer}/*.h ${srcdir}/${layer}/*.cpp
         ${srcdir}/${layer}/fake/*.h ${srcdir}/${layer}/fake/*.cpp)
    foreach(f ${files})
      file(STRINGS ${f} lines REGEX "^#include \"[a-z]+/")
      foreach(line ${lines})
        if(line MATCHES "^#include \"[a-z]+/gui/")
          string(REGEX REPLACE "^#include \"([a-z]+/gui)/.*" "\\1" used "${line}")
        else()
          string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" used "${line}")
        endif()
        if(NOT used IN_LIST allowed)
          message(FATAL_ERROR "${f}: ${line}: the ${layer} layer may include only from: ${allowed}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
