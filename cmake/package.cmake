# Installation and the Debian package.
#
# `cmake --install <build> --prefix P` puts the programs in P/bin, the extension's bundle and the
# system-extension service's launcher in P/lib/quillane, where quillane-camd looks for them
# relative to its own folder (so the tree works wherever it is put), and the README in
# P/share/doc/quillane. `cpack -G DEB` in the build folder packs the same tree under /usr, with
# the runtime dependencies that dpkg-shlibdeps finds in what the binaries link.

install(TARGETS quillane-camd quillane-view quillane-test-pattern quillane-frame-wrap
  RUNTIME DESTINATION bin)
install(TARGETS quillane-sysext-launch RUNTIME DESTINATION ${QUILLANE_SYSEXT_FOLDER})
set(QUILLANE_DOC_FOLDER share/doc/${PROJECT_NAME})
install(FILES README.md packaging/debian/copyright DESTINATION ${QUILLANE_DOC_FOLDER})

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Quillane authors")
set(CPACK_PACKAGE_CONTACT "Quillane maintainers <maintainers@quillane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virtual camera for PipeWire")
set(CPACK_PACKAGE_DESCRIPTION
  "Quillane publishes one camera, Quillane Camera, on the user's PipeWire
session. It sends 30 frames a second to every application that watches
it: the newest frame pushed into it with quillane-camd run, or a
placeholder picture. quillane-camd activate installs and starts the
camera for the user, deactivate removes it; quillane-view watches the
camera, and quillane-test-pattern and quillane-frame-wrap feed it.")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debug information would name the build folder.
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The camera runs on PipeWire; activation finds the user's service manager through systemctl;
# the placeholder's text is drawn in URW's Nimbus Sans.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire, systemd, fonts-urw-base35")
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(QUILLANE_PACKAGE_VERSION ${CPACK_DEBIAN_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})

# Debian's changelog, compressed as its policy asks, dated by SOURCE_DATE_EPOCH when set.
string(TIMESTAMP QUILLANE_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/debian/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog.Debian @ONLY)
file(ARCHIVE_CREATE OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz
  PATHS ${PROJECT_BINARY_DIR}/packaging/changelog.Debian FORMAT raw COMPRESSION GZip
  COMPRESSION_LEVEL 9)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.Debian.gz DESTINATION ${QUILLANE_DOC_FOLDER})

include(CPack)
