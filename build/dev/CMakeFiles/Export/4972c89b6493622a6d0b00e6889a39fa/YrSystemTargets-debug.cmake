#----------------------------------------------------------------
# Generated CMake target import file for configuration "Debug".
#----------------------------------------------------------------

# Commands may need to know the format version.
set(CMAKE_IMPORT_FILE_VERSION 1)

# Import target "Yr::system" for configuration "Debug"
set_property(TARGET Yr::system APPEND PROPERTY IMPORTED_CONFIGURATIONS DEBUG)
set_target_properties(Yr::system PROPERTIES
  IMPORTED_LOCATION_DEBUG "${_IMPORT_PREFIX}/lib/libyrsystem.so.0.1.0"
  IMPORTED_SONAME_DEBUG "libyrsystem.so.0"
  )

list(APPEND _cmake_import_check_targets Yr::system )
list(APPEND _cmake_import_check_files_for_Yr::system "${_IMPORT_PREFIX}/lib/libyrsystem.so.0.1.0" )

# Commands beyond this point should not need to know the version.
set(CMAKE_IMPORT_FILE_VERSION)
