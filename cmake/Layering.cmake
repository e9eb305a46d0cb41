# pt_check_layers(srcdir "layer:allowed layers..." ...): every GUI-free source in
# srcdir/<layer>/ (not its gui/ folder) may include project headers only from the
# layers listed for it. Checked at configure time; a wrong include stops the build.
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
        string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" used "${line}")
        if(NOT used IN_LIST allowed)
          message(FATAL_ERROR "${f}: ${line}: the ${layer} layer may include only from: ${allowed}")
        endif()
      endforeach()
    endforeach()
  endforeach()
endfunction()
