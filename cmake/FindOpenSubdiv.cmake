# Finds OpenSubdiv's CPU library (Far, Sdc, Vtr) and its headers, and defines the
# imported target OpenSubdiv::osdCPU. Debian's own OpenSubdivConfig.cmake also names
# static archives the package does not ship and stops the configure, so this module
# looks for the shared library and the headers themselves.
find_path(OpenSubdiv_INCLUDE_DIR opensubdiv/far/topologyRefiner.h)
find_library(OpenSubdiv_CPU_LIBRARY osdCPU)
if(OpenSubdiv_INCLUDE_DIR AND EXISTS "${OpenSubdiv_INCLUDE_DIR}/opensubdiv/version.h")
  file(STRINGS "${OpenSubdiv_INCLUDE_DIR}/opensubdiv/version.h" _osd_version_line
       REGEX "^#define OPENSUBDIV_VERSION_(MAJOR|MINOR|PATCH) ")
  string(REGEX REPLACE "[^0-9]*([0-9]+)[^0-9]*([0-9]+)[^0-9]*([0-9]+).*" "\\1.\\2.\\3"
         OpenSubdiv_VERSION "${_osd_version_line}")
  unset(_osd_version_line)
endif()
include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OpenSubdiv
  REQUIRED_VARS OpenSubdiv_CPU_LIBRARY OpenSubdiv_INCLUDE_DIR
  VERSION_VAR OpenSubdiv_VERSION)
if(OpenSubdiv_FOUND AND NOT TARGET OpenSubdiv::osdCPU)
  add_library(OpenSubdiv::osdCPU UNKNOWN IMPORTED)
  set_target_properties(OpenSubdiv::osdCPU PROPERTIES
    IMPORTED_LOCATION "${OpenSubdiv_CPU_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${OpenSubdiv_INCLUDE_DIR}")
endif()
mark_as_advanced(OpenSubdiv_INCLUDE_DIR OpenSubdiv_CPU_LIBRARY)
