# Release package of this build, made by tools/release/make_release_package.py:
# the update tool, the operator's guide as README.txt, the image manifest
# IMAGES.txt and SHA256SUMS; on Linux also the web upload package
# FwToUpload.bin, written by this build's WriteWebUploadPackage.
#
#   cmake --preset mingw -DFIRMWARE_IMAGE_DIR=<dir with the release images>
#   cmake --build --preset mingw --target release_package
#   -> build/mingw/package/TessaronFwUpgrade-<version>-win64.zip
#
#   cmake -B build/linux -DCMAKE_BUILD_TYPE=Release -DFWUPG_BUILD_TESTS=OFF
#         -DFWUPG_STATIC_RELEASE=ON -DFIRMWARE_IMAGE_DIR=<dir>
#   cmake --build build/linux --target release_package
#   -> build/linux/package/TessaronFwUpgrade-<version>-linux-x86_64.tar.gz
#
# The package is reproducible: the same sources and images give the same bytes
# (fixed order, dates and permissions in the archive, no time stamp or build
# path in the programs), so a package can be checked by building it again.
# tools/release/release.sh makes the Windows ZIP itself, with the signed
# executable and the Linux build's FwToUpload.bin.
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
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" FWUPG_PACKAGE_SYSTEM)
endif()
set(FWUPG_PACKAGE_OPTIONS)
if(FWUPG_STANDIN_IMAGES)
  list(APPEND FWUPG_PACKAGE_OPTIONS --standin-build)
elseif(FWUPG_TEST_PACKAGE_FROM_STANDINS)
  list(APPEND FWUPG_PACKAGE_OPTIONS --allow-standin-images-for-test)
endif()

set(FWUPG_PACKAGE_DEPENDS TessaronFwUpgrade)
if(NOT WIN32 AND NOT CMAKE_CROSSCOMPILING)
  # The writer runs here, in a folder of its own; its console transcript
  # (with the checksum it announces) stays beside the package it wrote. It
  # waits for a key at the end: its input is empty.
  set(FWUPG_WEB_PACKAGE "${CMAKE_BINARY_DIR}/web/FwToUpload.bin")
  add_custom_command(
    OUTPUT "${FWUPG_WEB_PACKAGE}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${CMAKE_BINARY_DIR}/web"
    COMMAND sh -c "cd \"$1\" && exec \"$0\" < /dev/null > WriteWebUploadPackage.log"
            "$<TARGET_FILE:WriteWebUploadPackage>" "${CMAKE_BINARY_DIR}/web"
    DEPENDS WriteWebUploadPackage
    COMMENT "Writing the web upload package"
    VERBATIM)
  add_custom_target(web_package DEPENDS "${FWUPG_WEB_PACKAGE}")
  list(APPEND FWUPG_PACKAGE_OPTIONS --web-package "${FWUPG_WEB_PACKAGE}")
  list(APPEND FWUPG_PACKAGE_DEPENDS web_package)
endif()

add_custom_target(release_package
  COMMAND ${CMAKE_COMMAND} -E env "PYTHONPATH=${PROJECT_SOURCE_DIR}/tools/images"
          "${Python3_EXECUTABLE}" "${PROJECT_SOURCE_DIR}/tools/release/make_release_package.py"
          --out-dir "${CMAKE_BINARY_DIR}/package" --system ${FWUPG_PACKAGE_SYSTEM}
          --manifest "${FWUPG_IMAGES_MANIFEST}"
          --tool "$<TARGET_FILE:TessaronFwUpgrade>"
          --guide "${PROJECT_SOURCE_DIR}/docs/OPERATOR.md"
          ${FWUPG_PACKAGE_OPTIONS}
  COMMENT "Making the release package"
  VERBATIM)
add_dependencies(release_package ${FWUPG_PACKAGE_DEPENDS})
