# Unpacks the pinned DevIL source afresh into SOURCE_DIR and applies PATCHES (separated by "|")
# in order, so that a changed or removed patch never meets a tree patched before.
# cmake -DTARBALL=... -DSOURCE_DIR=... -DPATCH=... -DPATCHES=a|b -P devil-unpack.cmake
file(REMOVE_RECURSE "${SOURCE_DIR}" "${SOURCE_DIR}.unpack")
file(ARCHIVE_EXTRACT INPUT "${TARBALL}" DESTINATION "${SOURCE_DIR}.unpack")
file(RENAME "${SOURCE_DIR}.unpack/devil-1.8.0" "${SOURCE_DIR}")
file(REMOVE_RECURSE "${SOURCE_DIR}.unpack")
string(REPLACE "|" ";" PATCHES "${PATCHES}")
foreach(p IN LISTS PATCHES)
  execute_process(COMMAND "${PATCH}" -p1 -N --quiet -i "${p}" WORKING_DIRECTORY "${SOURCE_DIR}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "${p} does not apply to ${TARBALL}")
  endif()
endforeach()
