# Builds the Windows installer from a folder the Windows install rules filled
# (the files of the ZIP) with msitools (Debian: wixl, msitools):
#   cmake -DSTAGE=<folder> -DVERSION=<x.y.z> -DOUTPUT=<file.msi> -P make_msi.cmake
# WIXL, WIXL_HEAT and MSIBUILD name the programs; where not given they are
# looked up on PATH.
#
# wixl-heat lists every file under STAGE, subfolders too, as a component of
# its own (its GUID made from the file's path, so the same from build to
# build), wixl builds the package from cmake/cellscale.wxs and that list, and
# msibuild adds the PATH entry, which wixl cannot express.
foreach(variable STAGE VERSION OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "make_msi.cmake needs -D${variable}=...")
  endif()
endforeach()
foreach(program WIXL:wixl WIXL_HEAT:wixl-heat MSIBUILD:msibuild)
  string(REPLACE ":" ";" program "${program}")
  list(GET program 0 variable)
  list(GET program 1 name)
  if(NOT ${variable})
    find_program(${variable} ${name})
    if(NOT ${variable})
      message(FATAL_ERROR "${name} not found (Debian: apt-get install wixl msitools)")
    endif()
  endif()
endforeach()

get_filename_component(stage "${STAGE}" ABSOLUTE)
get_filename_component(output "${OUTPUT}" ABSOLUTE)
set(work "${output}.files")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}")

# Every file of the folder, relative and in a fixed order.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${stage}" "${stage}/*")
if(NOT files)
  message(FATAL_ERROR "${stage} holds no files")
endif()
list(SORT files)
list(TRANSFORM files PREPEND "${stage}/")
list(JOIN files "\n" listing)
file(WRITE "${work}/files.txt" "${listing}\n")
execute_process(
  COMMAND "${WIXL_HEAT}" --prefix "${stage}/" --directory-ref INSTALLDIR --component-group Files --var var.SourceDir
          --win64
  INPUT_FILE "${work}/files.txt" OUTPUT_FILE "${work}/files.wxs" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl-heat could not list ${stage}")
endif()

file(REMOVE "${output}")
# wixl takes no absolute file names: it reads the files from its working
# folder.
execute_process(
  COMMAND "${WIXL}" --arch x64 -D "Version=${VERSION}" -D SourceDir=. -D Win64=yes -o "${output}"
          "${CMAKE_CURRENT_LIST_DIR}/cellscale.wxs" "${work}/files.wxs"
  WORKING_DIRECTORY "${stage}" RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT EXISTS "${output}")
  message(FATAL_ERROR "wixl could not build ${output}")
endif()

# The folder appended to the system PATH (the value's [~]; keeps what was
# there before it) with the component PathEntry, and taken off again when
# that is removed: "=" sets the variable on install, "-" removes the part
# added on uninstall, "*" makes it the machine's rather than the user's. The
# two actions run where Windows Installer's own order puts them.
function(msi_query query)
  execute_process(COMMAND "${MSIBUILD}" "${output}" -q "${query}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE "${output}")
    message(FATAL_ERROR "msibuild could not change ${output}: ${query}")
  endif()
endfunction()
msi_query("CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, \
`Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)")
msi_query("INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) \
VALUES ('PathEntry', '=-*PATH', '[~];[INSTALLDIR]', 'PathEntry')")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)")
file(REMOVE_RECURSE "${work}")
