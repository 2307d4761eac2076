# The release's image catalogue (firmware/catalogue.json, or the file named by
# FIRMWARE_CATALOGUE): read before project() so that the project's VERSION is
# the release version. Sets
#   FWUPG_CATALOGUE       the catalogue file, absolute
#   FWUPG_RELEASE_VERSION the release version, e.g. 1.0.9
#   FWUPG_IMAGE_NAMES     the image file names in table order
# The generator checks the rest of the catalogue (tools/images/catalogue.py).
set(FIRMWARE_CATALOGUE "firmware/catalogue.json" CACHE FILEPATH
    "The release's image catalogue: version, image files, which image serves which unit")
get_filename_component(FWUPG_CATALOGUE "${FIRMWARE_CATALOGUE}" ABSOLUTE
                       BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${FWUPG_CATALOGUE}")

if(NOT EXISTS "${FWUPG_CATALOGUE}")
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: image catalogue not found (FIRMWARE_CATALOGUE)")
endif()
file(READ "${FWUPG_CATALOGUE}" _fwupg_catalogue)
string(JSON FWUPG_RELEASE_VERSION ERROR_VARIABLE _fwupg_error GET "${_fwupg_catalogue}" version)
if(_fwupg_error OR NOT FWUPG_RELEASE_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: \"version\" must be a text of the form 1.0.9")
endif()
string(JSON _fwupg_count ERROR_VARIABLE _fwupg_error LENGTH "${_fwupg_catalogue}" images)
if(_fwupg_error OR _fwupg_count EQUAL 0)
  message(FATAL_ERROR "${FWUPG_CATALOGUE}: \"images\" must be a non-empty list")
endif()
set(FWUPG_IMAGE_NAMES)
math(EXPR _fwupg_last "${_fwupg_count} - 1")
foreach(_fwupg_index RANGE ${_fwupg_last})
  string(JSON _fwupg_name ERROR_VARIABLE _fwupg_error
         GET "${_fwupg_catalogue}" images ${_fwupg_index} file)
  if(_fwupg_error)
    message(FATAL_ERROR "${FWUPG_CATALOGUE}: image ${_fwupg_index} has no \"file\"")
  endif()
  list(APPEND FWUPG_IMAGE_NAMES "${_fwupg_name}")
endforeach()
