# What a Linux install holds beside the desktop program (whose own rules are
# in src/app): the command-line programs, manual pages, bash completion,
# AppStream metainfo and the licence; and the Debian package made of it all
# (cpack, through scripts/package.sh).
include(GNUInstallDirs)

# The date of project()'s version, for the manual pages, metainfo and changelog.
set(VELKSCAN_RELEASE_DATE 2026-12-07)
set(VELKSCAN_CHANGELOG_DATE "Mon, 07 Dec 2026 00:00:00 +0000")

set(pkg ${PROJECT_SOURCE_DIR}/packaging)
set(gen ${PROJECT_BINARY_DIR}/packaging)
set(doc ${CMAKE_INSTALL_DATADIR}/doc/velkscan)

install(TARGETS velkscan-cli velkgen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${pkg}/completion/velkscan-cli ${pkg}/completion/velkgen
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# Manual pages and the changelog, gzipped without a time stamp as Debian wants.
set(pages velkscan-cli velkgen)
if(TARGET velkscan)
  list(APPEND pages velkscan)
  configure_file(${pkg}/velkscan.metainfo.xml.in ${gen}/org.velkscan.velkscan.metainfo.xml @ONLY)
  install(FILES ${gen}/org.velkscan.velkscan.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()
set(VERSION ${PROJECT_VERSION})
set(gzipped)
foreach(page ${pages})
  configure_file(${pkg}/man/${page}.1 ${gen}/${page}.1 @ONLY)
  list(APPEND gzipped ${gen}/${page}.1)
endforeach()
configure_file(${pkg}/changelog ${gen}/changelog @ONLY)
list(APPEND gzipped ${gen}/changelog)
set(outputs)
foreach(file ${gzipped})
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file} VERBATIM)
  list(APPEND outputs ${file}.gz)
endforeach()
add_custom_target(velkscan_docs ALL DEPENDS ${outputs})
foreach(page ${pages})
  install(FILES ${gen}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${gen}/changelog.gz DESTINATION ${doc})

# The licence, as Debian's machine-readable copyright file.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "^MIT License\n\n([^\n]*)\n\n" "" body "${licence}")
string(REGEX REPLACE "^MIT License\n\nCopyright \\(c\\) ([^\n]*)\n.*" "\\1" holder "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" body "${body}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" body " ${body}")
file(WRITE ${gen}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: Velkscan\n\n"
     "Files: *\nCopyright: ${holder}\nLicense: MIT\n\n"
     "License: MIT\n${body}")
install(FILES ${gen}/copyright DESTINATION ${doc})

# --- The Debian package: velkscan_VERSION_amd64.deb ---
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velkscan)
set(CPACK_PACKAGE_VENDOR "The Velkscan developers")
set(CPACK_PACKAGE_CONTACT "The Velkscan developers <velkscan@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check Velk audio files for damage and repair their headers")
# The summary above is the first line; no line may begin with a dot.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Velkscan checks Velk compressed-audio files (.vlk, .vkq, .vqk) frame
by frame and finds the first frame whose length does not match what it
declares. For a broken file it reports the good frames and their
play time, and can rewrite the frame count in the file's header so that the
header claims only the frames that passed; nothing else is ever written.
.
This package holds the desktop program velkscan, the command-line program
velkscan-cli (checks only unless asked to repair, with a journal to undo)
and velkgen, which writes sample files for trials.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the programs really link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Tab completion works only where bash-completion loads the package's scripts;
# a plain system has it not, so apt brings it along unless told otherwise.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/dist)
include(CPack)
