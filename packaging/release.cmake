# Makes the operator's release zip from a 32-bit and a 64-bit Windows build,
# both configured and built:
#
#   cmake -D KIT_WIN32_BUILD=build/win32 -D KIT_WIN64_BUILD=build/win64 \
#         -D KIT_RELEASE_DIR=build/release -P packaging/release.cmake
#
# The zip holds the 32-bit programs (the three tools and kitreport), kit.cmd
# and README.txt at its top and the 64-bit programs in x64/. It is made by
# CPack from the 32-bit build's package configuration, with the install
# components of both builds.

foreach(var KIT_WIN32_BUILD KIT_WIN64_BUILD KIT_RELEASE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "release: ${var} is not set")
  endif()
  get_filename_component(${var} "${${var}}" ABSOLUTE)
endforeach()

foreach(build ${KIT_WIN32_BUILD} ${KIT_WIN64_BUILD})
  foreach(tool drvscan noisegauge pairscan kitreport)
    if(NOT EXISTS "${build}/bin/${tool}.exe")
      message(FATAL_ERROR "release: ${build}/bin/${tool}.exe is missing; "
                          "configure and build that folder first")
    endif()
  endforeach()
endforeach()

set(config "${KIT_WIN32_BUILD}/CPackConfig.cmake")
if(NOT EXISTS "${config}")
  message(FATAL_ERROR "release: ${config} is missing; "
                      "${KIT_WIN32_BUILD} is not a Windows build")
endif()
include("${config}")
set(zip "${KIT_RELEASE_DIR}/${CPACK_PACKAGE_FILE_NAME}.zip")
file(REMOVE "${zip}")

set(projects
    "${KIT_WIN32_BUILD};vorlkit;release_programs;/"
    "${KIT_WIN32_BUILD};vorlkit;release_operator;/"
    "${KIT_WIN64_BUILD};vorlkit;release_programs;/x64")
execute_process(
  COMMAND "${CMAKE_CPACK_COMMAND}" --config "${config}"
          -B "${KIT_RELEASE_DIR}"
          -D "CPACK_INSTALL_CMAKE_PROJECTS=${projects}"
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT EXISTS "${zip}")
  message(FATAL_ERROR "release: cpack failed (${result})")
endif()
message(STATUS "Release archive: ${zip}")
