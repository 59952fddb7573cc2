# Install rules and the release archive.
#
# Native builds: `cmake --install` puts the four programs (installed with
# them above) and kit.sh into <prefix>/bin, and their manual pages, with the
# project's version filled in, into <prefix>/share/man/man1.
#
# Windows builds: the component `release_programs` holds the four programs
# at the top of the archive and `release_operator` holds kit.cmd and the
# README, both with CR LF line ends. Neither is part of a plain install.
# packaging/release.cmake combines a 32-bit and a 64-bit build into the
# operator's zip: the 32-bit programs at its top, the 64-bit ones in x64/.

if(WIN32)
  install(TARGETS drvscan noisegauge pairscan
          RUNTIME DESTINATION . COMPONENT release_programs EXCLUDE_FROM_ALL)
  if(TARGET kitreport)
    install(TARGETS kitreport RUNTIME DESTINATION .
            COMPONENT release_programs EXCLUDE_FROM_ALL)
  endif()

  foreach(file kit.cmd README.txt)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${file}
                   ${CMAKE_BINARY_DIR}/release/${file}
                   @ONLY NEWLINE_STYLE CRLF)
  endforeach()
  install(FILES ${CMAKE_BINARY_DIR}/release/kit.cmd
                ${CMAKE_BINARY_DIR}/release/README.txt
          DESTINATION . COMPONENT release_operator EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME vorlkit)
  set(CPACK_PACKAGE_VENDOR vorlkit)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vorl detection kit")
  set(CPACK_PACKAGE_FILE_NAME "vorlkit-${PROJECT_VERSION}-windows")
  # The programs sit at the archive's top, not below a folder of its name.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  set(CPACK_INSTALL_CMAKE_PROJECTS
      "${CMAKE_BINARY_DIR};${PROJECT_NAME};release_programs;/"
      "${CMAKE_BINARY_DIR};${PROJECT_NAME};release_operator;/")
  include(CPack)
else()
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/packaging/kit.sh DESTINATION bin)
  set(pages drvscan.1 noisegauge.1 pairscan.1 kit.sh.1)
  if(TARGET kitreport)
    list(APPEND pages kitreport.1)
  endif()
  foreach(page ${pages})
    configure_file(${PROJECT_SOURCE_DIR}/packaging/man/${page}
                   ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/man/${page} DESTINATION share/man/man1)
  endforeach()
endif()
