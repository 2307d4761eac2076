# The release's image catalogue (firmware/catalogue.json, or the file named by
# FIRMWARE_CATALOGUE): read before project() so that the project's VERSION is
# the release version. The build asks the one reader of the catalogue,
# tools/images/catalogue.py, which checks every rule and writes what the
# build uses as a CMake include, build/catalogue.cmake:
#   FWUPG_RELEASE_VERSION        the release version, e.g. 1.0.9
#   FWUPG_IMAGE_NAMES            the image file names in table order
#   FWUPG_MICROCONTROLLER_ENTRY  the table index of the microcontroller image
#   FWUPG_LOGIC_ENTRIES, FWUPG_LOGIC_CODES, FWUPG_LOGIC_UNITS
#                                one item per device code and role that a
#                                logic image serves, in table order: the
#                                image's table index, the code, TX or RX
# and sets FWUPG_CATALOGUE, the catalogue file, absolute. A catalogue the
# reader refuses stops the configuration with its reason, which names the
# field. Changing the catalogue, the reader or the tool's table of
# logic-device codes configures again.
set(FIRMWARE_CATALOGUE "firmware/catalogue.json" CACHE FILEPATH
    "The release's image catalogue: version, image files, which image serves which unit")
get_filename_component(FWUPG_CATALOGUE "${FIRMWARE_CATALOGUE}" ABSOLUTE
                       BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")

# Found here, before project(); find_package(Python3) takes the same one.
find_program(Python3_EXECUTABLE NAMES python3 python REQUIRED)

set(_fwupg_reader "${CMAKE_CURRENT_SOURCE_DIR}/tools/images/catalogue.py")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             "${FWUPG_CATALOGUE}" "${_fwupg_reader}" "${CMAKE_CURRENT_SOURCE_DIR}/src/UnitUpdate.h")
execute_process(
  COMMAND "${Python3_EXECUTABLE}" "${_fwupg_reader}" --catalogue "${FWUPG_CATALOGUE}" cmake
  RESULT_VARIABLE _fwupg_result
  OUTPUT_VARIABLE _fwupg_facts
  ERROR_VARIABLE _fwupg_error
  ERROR_STRIP_TRAILING_WHITESPACE)
if(NOT _fwupg_result EQUAL 0)
  message(FATAL_ERROR "${_fwupg_error}")
endif()
file(CONFIGURE OUTPUT "${CMAKE_CURRENT_BINARY_DIR}/catalogue.cmake" CONTENT "${_fwupg_facts}" @ONLY)
include("${CMAKE_CURRENT_BINARY_DIR}/catalogue.cmake")
