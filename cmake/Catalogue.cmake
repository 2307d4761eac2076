# The release's image catalogue (firmware/catalogue.json, or the file named by
# FIRMWARE_CATALOGUE): read before project() so that the project's VERSION is
# the release version. The one reading of the file in the build; it sets
#   FWUPG_CATALOGUE              the catalogue file, absolute
#   FWUPG_RELEASE_VERSION        the release version, e.g. 1.0.9
#   FWUPG_IMAGE_NAMES            the image file names in table order
#   FWUPG_MICROCONTROLLER_ENTRY  the table index of the microcontroller image
#   FWUPG_LOGIC_IMAGES           per logic image, in table order,
#                                "<table index>:<device code>:<TX or RX>"
# The version and the file names, which name the project and the build's
# files, are refused here as tools/images/catalogue.py refuses them; the
# rules between entries (one microcontroller image, each device code for both
# roles) are the generator's, through that module.
set(FIRMWARE_CATALOGUE "firmware/catalogue.json" CACHE FILEPATH
    "The release's image catalogue: version, image files, which image serves which unit")
get_filename_component(FWUPG_CATALOGUE "${FIRMWARE_CATALOGUE}" ABSOLUTE
                       BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FWUPG_CATALOGUE}")

if(NOT EXISTS "${FWUPG_CATALOGUE}")
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: image catalogue not found (FIRMWARE_CATALOGUE)")
endif()
file(READ "${FWUPG_CATALOGUE}" _fwupg_catalogue)

# A field of the catalogue, or a refusal that names it.
macro(_fwupg_catalogue_field variable what)
  string(JSON ${variable} ERROR_VARIABLE _fwupg_error GET "${_fwupg_catalogue}" ${ARGN})
  if(_fwupg_error)
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: ${what}")
  endif()
endmacro()

# CMake's [0-9] and [A-Za-z] are ASCII only.
_fwupg_catalogue_field(FWUPG_RELEASE_VERSION "\"version\" must be ASCII digits and dots of the form 1.0.9"
                       version)
if(NOT FWUPG_RELEASE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: \"version\" must be ASCII digits and dots of the form 1.0.9")
endif()
string(JSON _fwupg_count ERROR_VARIABLE _fwupg_error LENGTH "${_fwupg_catalogue}" images)
if(_fwupg_error OR _fwupg_count EQUAL 0)
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: \"images\" must be a non-empty list")
endif()

set(FWUPG_IMAGE_NAMES)
set(FWUPG_MICROCONTROLLER_ENTRY -1)
set(FWUPG_LOGIC_IMAGES)
math(EXPR _fwupg_last "${_fwupg_count} - 1")
foreach(_fwupg_index RANGE ${_fwupg_last})
  set(_fwupg_image "image ${_fwupg_index}")
  _fwupg_catalogue_field(_fwupg_name "${_fwupg_image} has no \"file\"" images ${_fwupg_index} file)
  string(LENGTH "${_fwupg_name}" _fwupg_length)
  if(NOT _fwupg_name MATCHES "^[A-Za-z0-9][A-Za-z0-9._-]*$" OR _fwupg_length GREATER 69)
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: ${_fwupg_image}: \"file\" must be a plain file name of at most "
                        "69 characters (ASCII letters, digits, '_', '-' and '.', not starting with '.', '_' "
                        "or '-')")
  endif()
  if(_fwupg_name IN_LIST FWUPG_IMAGE_NAMES)
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: ${_fwupg_image}: \"file\" ${_fwupg_name} is listed twice")
  endif()
  list(APPEND FWUPG_IMAGE_NAMES "${_fwupg_name}")
  string(JSON _fwupg_microcontroller ERROR_VARIABLE _fwupg_error
         GET "${_fwupg_catalogue}" images ${_fwupg_index} microcontroller)
  if(NOT _fwupg_error AND _fwupg_microcontroller)
    set(FWUPG_MICROCONTROLLER_ENTRY ${_fwupg_index})
    continue()
  endif()
  _fwupg_catalogue_field(_fwupg_code "${_fwupg_image} (${_fwupg_name}): \"device_code\" missing"
                         images ${_fwupg_index} device_code)
  _fwupg_catalogue_field(_fwupg_unit "${_fwupg_image} (${_fwupg_name}): \"unit\" missing"
                         images ${_fwupg_index} unit)
  if(NOT _fwupg_code MATCHES "^[0-9]+$" OR _fwupg_code LESS 1 OR _fwupg_code GREATER 255)
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: ${_fwupg_image} (${_fwupg_name}): \"device_code\" must be a "
                        "whole number from 1 to 255")
  endif()
  if(NOT _fwupg_unit MATCHES "^(TX|RX)$")
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: ${_fwupg_image} (${_fwupg_name}): \"unit\" must be \"TX\" or \"RX\"")
  endif()
  list(APPEND FWUPG_LOGIC_IMAGES "${_fwupg_index}:${_fwupg_code}:${_fwupg_unit}")
endforeach()
