# Run by cpack before it packs: compresses the staged man pages and changelog (gzip -9n, no time stamp).
file(GLOB_RECURSE ZR_STAGED_DOCS "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/man/*/*.[1-9]"
     "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/share/doc/zrregdll/changelog")
foreach(f IN LISTS ZR_STAGED_DOCS)
  execute_process(COMMAND gzip -9nf ${f} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "gzip ${f} failed")
  endif()
endforeach()
