# Run by cpack on the staged files (CPACK_PRE_BUILD_SCRIPTS) after its own
# strip: the sections dh_strip drops as well, which a plain strip keeps.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(f IN LISTS staged)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_Q318B_STRIP}" --remove-section=.comment --remove-section=.note "${f}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "strip ${f} failed")
    endif()
  endif()
endforeach()
