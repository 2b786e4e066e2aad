# Read by cpack for each generator (CPACK_PROJECT_CONFIG_FILE).

# The Debian package also holds the component `debian`, which plain installs and the archives
# leave out: what only Debian's tools read.
if(CPACK_GENERATOR STREQUAL "DEB")
    list(GET CPACK_INSTALL_CMAKE_PROJECTS 0 build_dir)
    list(APPEND CPACK_INSTALL_CMAKE_PROJECTS "${build_dir}" doz2era debian /)
endif()
