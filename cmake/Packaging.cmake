# Release package: a ZIP with the update tool and the operator's README.
#
#   cmake --preset mingw -DFIRMWARE_IMAGE_DIR=<dir with the five release images>
#   cmake --build --preset mingw
#   cpack --config build/mingw/CPackConfig.cmake -B build/mingw/package
#
# A tool built from stand-in images would write made-up firmware into a real
# unit, so such a build refuses to install, and therefore to package: the
# check runs first in the install script that cpack executes, before any file
# is copied.
if(NOT DEFINED FWUPG_STANDIN_IMAGES OR FWUPG_STANDIN_IMAGES)
  install(CODE [[
    message(FATAL_ERROR
      "Refusing to package: this build embeds STAND-IN firmware images "
      "(FIRMWARE_IMAGE_DIR was not set). Reconfigure with "
      "-DFIRMWARE_IMAGE_DIR=<dir with the five release images> and rebuild.")
  ]])
endif()

install(TARGETS TessaronFwUpgrade RUNTIME DESTINATION .)
install(FILES docs/OPERATOR.md DESTINATION . RENAME README.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME TessaronFwUpgrade)
set(CPACK_PACKAGE_VENDOR "6G-SDI extender firmware team")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  set(FWUPG_PACKAGE_SYSTEM win64)
else()
  set(FWUPG_PACKAGE_SYSTEM ${CMAKE_SYSTEM_NAME})
endif()
set(CPACK_PACKAGE_FILE_NAME "TessaronFwUpgrade-${PROJECT_VERSION}-${FWUPG_PACKAGE_SYSTEM}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
