# Release package: a ZIP with the update tool, the operator's guide as
# README.txt, the image manifest IMAGES.txt and SHA256SUMS of those three.
#
#   cmake --preset mingw -DFIRMWARE_IMAGE_DIR=<dir with the release images>
#   cmake --build --preset mingw --target release_package
#   -> build/mingw/package/TessaronFwUpgrade-<version>-win64.zip
#
# The ZIP is reproducible: the same sources and images give the same bytes
# (fixed order, dates and permissions in the archive, no time stamp in the
# executable), so a package can be checked by building it again.
#
# A tool built from stand-in images would write made-up firmware into a real
# unit, so packaging refuses a build that made stand-ins, and one whose
# images are stand-ins by their content (copied and given as
# FIRMWARE_IMAGE_DIR). FWUPG_TEST_PACKAGE_FROM_STANDINS lets the tests
# package the second kind to check reproducibility; such a package is named
# "-STANDIN-TEST" and its IMAGES.txt says "stand-in".
option(FWUPG_TEST_PACKAGE_FROM_STANDINS
  "Tests only: package a release build whose FIRMWARE_IMAGE_DIR holds stand-in images" OFF)
mark_as_advanced(FWUPG_TEST_PACKAGE_FROM_STANDINS)

if(WIN32)
  set(FWUPG_PACKAGE_SYSTEM win64)
else()
  set(FWUPG_PACKAGE_SYSTEM ${CMAKE_SYSTEM_NAME})
endif()
set(FWUPG_PACKAGE_NAME "TessaronFwUpgrade-${PROJECT_VERSION}-${FWUPG_PACKAGE_SYSTEM}")
set(FWUPG_PACKAGE_OPTIONS)
if(FWUPG_STANDIN_IMAGES)
  list(APPEND FWUPG_PACKAGE_OPTIONS --standin-build)
elseif(FWUPG_TEST_PACKAGE_FROM_STANDINS)
  string(APPEND FWUPG_PACKAGE_NAME "-STANDIN-TEST")
  list(APPEND FWUPG_PACKAGE_OPTIONS --allow-standin-images-for-test)
endif()
set(FWUPG_PACKAGE_ZIP "${CMAKE_BINARY_DIR}/package/${FWUPG_PACKAGE_NAME}.zip")

add_custom_target(release_package
  COMMAND ${CMAKE_COMMAND} -E env "PYTHONPATH=${PROJECT_SOURCE_DIR}/tools/images"
          "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/tools/release/make_release_zip.py"
          --out "${FWUPG_PACKAGE_ZIP}" --top "${FWUPG_PACKAGE_NAME}"
          --manifest "${FWUPG_IMAGES_MANIFEST}"
          --file "$<TARGET_FILE:TessaronFwUpgrade>=$<TARGET_FILE_NAME:TessaronFwUpgrade>"
          --file "${PROJECT_SOURCE_DIR}/docs/OPERATOR.md=README.txt"
          ${FWUPG_PACKAGE_OPTIONS}
  COMMENT "Making the release package"
  VERBATIM)
add_dependencies(release_package TessaronFwUpgrade)
