# Finds utf8proc, the Unicode normalization library, and defines the imported
# target Utf8proc::Utf8proc.
#   Utf8proc_FOUND, Utf8proc_INCLUDE_DIR, Utf8proc_LIBRARY
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_Utf8proc QUIET libutf8proc)
endif()

find_path(Utf8proc_INCLUDE_DIR NAMES utf8proc.h HINTS ${PC_Utf8proc_INCLUDE_DIRS})
find_library(Utf8proc_LIBRARY NAMES utf8proc HINTS ${PC_Utf8proc_LIBRARY_DIRS})

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(Utf8proc REQUIRED_VARS Utf8proc_LIBRARY Utf8proc_INCLUDE_DIR)
mark_as_advanced(Utf8proc_INCLUDE_DIR Utf8proc_LIBRARY)

if(Utf8proc_FOUND AND NOT TARGET Utf8proc::Utf8proc)
  add_library(Utf8proc::Utf8proc UNKNOWN IMPORTED)
  set_target_properties(Utf8proc::Utf8proc PROPERTIES
    IMPORTED_LOCATION "${Utf8proc_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${Utf8proc_INCLUDE_DIR}")
endif()
