# Installing the tool and packaging it for Debian.
#
#   cmake --install build --prefix /usr/local    puts the tool, its manual page,
#                                                 the README and the example grids
#                                                 under the prefix
#   cd build && cpack -G DEB                      builds cellscale_<version>_<arch>.deb
#   cd build/windows && cpack -G ZIP              (a Windows cross build) builds
#                                                 cellscale-<version>-win64.zip
#   cmake --build build/windows --target msi      builds the installer
#                                                 cellscale-<version>-win64.msi
#
# Only the tool itself is installed: the library and the tests stay in the
# build tree.

include(GNUInstallDirs)

if(WIN32)
  # The Windows package is one folder to unpack anywhere and put on PATH: the
  # tool, the README, the manual page as plain text (for reading without
  # man) and the example grids and tiles.
  install(TARGETS cellscale RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/elevation.asc ${PROJECT_SOURCE_DIR}/examples/elevation.dbl
                ${PROJECT_SOURCE_DIR}/examples/elevation.sgl
          DESTINATION examples)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/dem DESTINATION examples)
  find_program(CELLSCALE_GROFF groff)
  if(CELLSCALE_GROFF)
    set(manual_text ${CMAKE_CURRENT_BINARY_DIR}/cellscale.txt)
    add_custom_command(
      OUTPUT ${manual_text}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${CELLSCALE_GROFF} -DPAGE=${PROJECT_SOURCE_DIR}/docs/cellscale.1
              -DTEXT=${manual_text} -P ${PROJECT_SOURCE_DIR}/cmake/render_manual.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/docs/cellscale.1 ${PROJECT_SOURCE_DIR}/cmake/render_manual.cmake
      COMMENT "Rendering the manual page as cellscale.txt")
    add_custom_target(cellscale_manual_text ALL DEPENDS ${manual_text})
    install(FILES ${manual_text} DESTINATION .)
  else()
    message(STATUS "groff not found: the Windows package leaves out cellscale.txt (Debian: groff-base)")
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "cellscale-${PROJECT_VERSION}-win64")

  # The installer holds the same files, installed under Program Files and put
  # on PATH (cmake/cellscale.wxs): they are installed, stripped as in the ZIP,
  # into a folder of their own, from which cmake/make_msi.cmake builds it
  # with msitools.
  find_program(CELLSCALE_WIXL wixl)
  find_program(CELLSCALE_WIXL_HEAT wixl-heat)
  find_program(CELLSCALE_MSIBUILD msibuild)
  if(CELLSCALE_WIXL AND CELLSCALE_WIXL_HEAT AND CELLSCALE_MSIBUILD)
    set(msi_stage ${CMAKE_CURRENT_BINARY_DIR}/msi-files)
    set(msi_file ${CMAKE_CURRENT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.msi)
    set(msi_depends cellscale)
    if(CELLSCALE_GROFF)
      list(APPEND msi_depends cellscale_manual_text)
    endif()
    add_custom_target(
      msi
      COMMAND ${CMAKE_COMMAND} -E rm -rf ${msi_stage}
      COMMAND ${CMAKE_COMMAND} --install ${CMAKE_CURRENT_BINARY_DIR} --prefix ${msi_stage} --strip
      COMMAND ${CMAKE_COMMAND} -DSTAGE=${msi_stage} -DVERSION=${PROJECT_VERSION} -DOUTPUT=${msi_file}
              -DWIXL=${CELLSCALE_WIXL} -DWIXL_HEAT=${CELLSCALE_WIXL_HEAT} -DMSIBUILD=${CELLSCALE_MSIBUILD}
              -P ${PROJECT_SOURCE_DIR}/cmake/make_msi.cmake
      BYPRODUCTS ${msi_file}
      COMMENT "Building the installer ${CPACK_PACKAGE_FILE_NAME}.msi"
      VERBATIM)
    add_dependencies(msi ${msi_depends})
  else()
    message(STATUS "wixl, wixl-heat or msibuild not found: no msi target (Debian: wixl, msitools)")
  endif()
else()
  install(TARGETS cellscale RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/cellscale.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/examples/elevation.asc ${PROJECT_SOURCE_DIR}/examples/elevation.dbl
                ${PROJECT_SOURCE_DIR}/examples/elevation.sgl
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Two tiles of the example grid, each with its .prj, which the README's
  # sessions scale as a folder.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/dem DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Writes the VRT through which GDAL-based programs open a binary grid, and
  # scales a folder of tiles with GNU parallel across machines.
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/binary-grid-vrt.sh ${PROJECT_SOURCE_DIR}/examples/scale-tiles.sh
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME cellscale)
set(CPACK_PACKAGE_VENDOR "cellscale developers")
set(CPACK_PACKAGE_CONTACT "cellscale developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multiply every cell of a raster grid by a factor")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "cellscale developers")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The dependencies (the C and C++ runtime libraries and zlib, zlib1g) are
# found by dpkg-shlibdeps from the executable itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "cellscale reads a raster grid (an ASCII grid, or a binary grid of double or
single precision numbers, recognised from its bytes), asks for a factor on
standard input, multiplies every cell that holds data by it and writes the
result as a text, double or single grid. A binary output carries the count,
extremes, sum, mean and standard deviation of the scaled cells. With the
factor 1 it converts between the three formats. The grid is streamed, so a
grid of any number of rows runs in a few MiB of memory.")

include(CPack)
