# The embedded image catalogue, generated at build time from the image files
# that the catalogue file names (cmake/Catalogue.cmake). FIRMWARE_IMAGE_DIR
# points a release build at the real images; without it the build makes
# deterministic stand-ins of the same form.
set(FIRMWARE_IMAGE_DIR "" CACHE PATH "Directory holding the release image files")

if(FIRMWARE_IMAGE_DIR)
  set(FWUPG_IMAGE_DIR "${FIRMWARE_IMAGE_DIR}")
  set(FWUPG_STANDIN_IMAGES OFF)
  set(FWUPG_IMAGE_FILES)
  foreach(name IN LISTS FWUPG_IMAGE_NAMES)
    # Said here at once rather than by the generator after a long build.
    if(NOT EXISTS "${FWUPG_IMAGE_DIR}/${name}")
      message(FATAL_ERROR "${FWUPG_IMAGE_DIR}/${name}:0: release image missing "
                          "(FIRMWARE_IMAGE_DIR must hold every image of ${FWUPG_CATALOGUE})")
    endif()
    list(APPEND FWUPG_IMAGE_FILES "${FWUPG_IMAGE_DIR}/${name}")
  endforeach()
else()
  set(FWUPG_IMAGE_DIR "${CMAKE_BINARY_DIR}/standin-images")
  set(FWUPG_STANDIN_IMAGES ON)
  message(WARNING
    "\n*** FIRMWARE_IMAGE_DIR is not set: building with STAND-IN images. ***\n"
    "*** The resulting programs must NEVER be used on a real unit.    ***\n"
    "*** Set -DFIRMWARE_IMAGE_DIR=<dir with the release images>.      ***\n")
  set(FWUPG_IMAGE_FILES)
  foreach(name IN LISTS FWUPG_IMAGE_NAMES)
    list(APPEND FWUPG_IMAGE_FILES "${FWUPG_IMAGE_DIR}/${name}")
  endforeach()
  add_custom_command(
    OUTPUT ${FWUPG_IMAGE_FILES}
    COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/tools/images/make_standin_images.py"
            --catalogue "${FWUPG_CATALOGUE}" "${FWUPG_IMAGE_DIR}"
    DEPENDS "${PROJECT_SOURCE_DIR}/tools/images/make_standin_images.py" "${PROJECT_SOURCE_DIR}/tools/images/build_output.py"
            "${PROJECT_SOURCE_DIR}/tools/images/catalogue.py" "${PROJECT_SOURCE_DIR}/tools/images/intelhex.py"
            "${FWUPG_CATALOGUE}"
    COMMENT "Making stand-in firmware images (not for real units)"
    VERBATIM)
endif()

# The catalogue and, beside the executables, the manifest IMAGES.txt that
# tells which images they carry.
set(FWUPG_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
set(FWUPG_IMAGES_MANIFEST "${CMAKE_BINARY_DIR}/IMAGES.txt")
# Given to the generator, and to the test runners, which expect the warning.
set(FWUPG_STANDIN_OPTION)
if(FWUPG_STANDIN_IMAGES)
  set(FWUPG_STANDIN_OPTION --standin)
endif()
add_custom_command(
  OUTPUT "${FWUPG_GENERATED_DIR}/firmware/BinImage.cpp" "${FWUPG_GENERATED_DIR}/firmware/BinImage.h"
         "${FWUPG_IMAGES_MANIFEST}"
  COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/tools/images/gen_binimage.py"
          --out-dir "${FWUPG_GENERATED_DIR}/firmware"
          --catalogue "${FWUPG_CATALOGUE}" --manifest "${FWUPG_IMAGES_MANIFEST}"
          ${FWUPG_STANDIN_OPTION}
          ${FWUPG_IMAGE_FILES}
  DEPENDS "${PROJECT_SOURCE_DIR}/tools/images/gen_binimage.py" "${PROJECT_SOURCE_DIR}/tools/images/build_output.py"
          "${PROJECT_SOURCE_DIR}/tools/images/catalogue.py" "${PROJECT_SOURCE_DIR}/tools/images/intelhex.py"
          "${PROJECT_SOURCE_DIR}/tools/images/make_standin_images.py" "${FWUPG_CATALOGUE}"
          ${FWUPG_IMAGE_FILES}
  COMMENT "Generating the embedded image catalogue"
  VERBATIM)

add_library(fwimages STATIC "${FWUPG_GENERATED_DIR}/firmware/BinImage.cpp")
target_include_directories(fwimages PUBLIC "${FWUPG_GENERATED_DIR}" "${PROJECT_SOURCE_DIR}/src")
target_compile_definitions(fwimages PUBLIC FWUPG_STANDIN_IMAGES=$<BOOL:${FWUPG_STANDIN_IMAGES}>)
