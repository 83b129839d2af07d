# Finds libmd, the BSD message-digest library, and defines the imported
# target Libmd::Libmd.
#   Libmd_FOUND, Libmd_INCLUDE_DIR, Libmd_LIBRARY
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_Libmd QUIET libmd)
endif()

find_path(Libmd_INCLUDE_DIR NAMES md5.h HINTS ${PC_Libmd_INCLUDE_DIRS})
find_library(Libmd_LIBRARY NAMES md HINTS ${PC_Libmd_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Libmd REQUIRED_VARS Libmd_LIBRARY Libmd_INCLUDE_DIR)
mark_as_advanced(Libmd_INCLUDE_DIR Libmd_LIBRARY)

if(Libmd_FOUND AND NOT TARGET Libmd::Libmd)
  add_library(Libmd::Libmd UNKNOWN IMPORTED)
  set_target_properties(Libmd::Libmd PROPERTIES
    IMPORTED_LOCATION "${Libmd_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Libmd_INCLUDE_DIR}")
endif()
