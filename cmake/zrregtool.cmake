# The installation of zrreg and of its man page, which is made from the program's own help.
include(GNUInstallDirs)
install(TARGETS zrreg RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(NOT WIN32)
  set(ZR_MAN_PAGE ${CMAKE_BINARY_DIR}/zrreg.1)
  add_custom_command(OUTPUT ${ZR_MAN_PAGE}
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/zrreg-man.sh ${ZR_MAN_PAGE} ${PROJECT_VERSION}
            ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:zrreg>
    DEPENDS zrreg ${CMAKE_CURRENT_LIST_DIR}/zrreg-man.sh ${PROJECT_SOURCE_DIR}/README.md
    COMMENT "Writing the man page zrreg.1 from zrreg --help"
    VERBATIM)
  add_custom_target(zrreg_man ALL DEPENDS ${ZR_MAN_PAGE})
  install(FILES ${ZR_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # Where bash-completion looks for a command's completion on first use.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/zrreg-completion.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zrreg)
endif()
