# The resources of cellscale.exe (app/windows/): the application manifest, which
# declares the tool aware of long paths, and the version shown in the file's
# properties, both made from the project's version and compiled with the
# resource compiler of the toolchain (windres for MinGW-w64).
enable_language(RC)

set(CELLSCALE_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(CELLSCALE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(CELLSCALE_MANIFEST "${CMAKE_CURRENT_BINARY_DIR}/cellscale.exe.manifest")
configure_file(${PROJECT_SOURCE_DIR}/app/windows/cellscale.exe.manifest.in ${CELLSCALE_MANIFEST} @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/app/windows/cellscale.rc.in ${CMAKE_CURRENT_BINARY_DIR}/cellscale.rc @ONLY)
target_sources(cellscale PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/cellscale.rc)
# The resource is compiled again when the manifest changes.
set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/cellscale.rc APPEND PROPERTY OBJECT_DEPENDS ${CELLSCALE_MANIFEST})
