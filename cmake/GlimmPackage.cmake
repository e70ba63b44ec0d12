# The Debian package: `cpack -G DEB` in the build folder (or the `package`
# target) turns what `cmake --install` puts down into glimm_<version>_<arch>.deb,
# installed under /usr. Relative install dirs keep the $ORIGIN run paths valid
# under any prefix.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glimm)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Glimm developers <dev@glimm.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "text-to-speech instrument with a retro computer voice")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Glimm speaks or sings what you type, in the look of an old home computer's
screen: type up to 256 characters, set pitch, speed, mouth and throat, and
press SPEAK! to hear it. In sing mode every MIDI note sings the text on its
pitch. Speech is synthesised with espeak-ng.
.
This package holds glimm-host, the application that plays the speech unit
with its editor panel, writes WAV files and renders text offline, and the LV2
instrument urn:glimm:speech with the same panel for LV2 hosts.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps fills Depends from what the binaries link. Our own libraries
# are found in the private folder (named relative to the staging root, where
# it runs; $ORIGIN run paths lead there too) and so need no package of their
# own. CPack also adds an ldconfig call, as it does for any library one folder
# below /usr/lib; it is harmless, and lintian's only warning.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(REGEX REPLACE "^/" "" glimm_staged_private "${CPACK_PACKAGING_INSTALL_PREFIX}/${GLIMM_INSTALL_PRIVATE_DIR}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${glimm_staged_private})
set(CPACK_STRIP_FILES ON)

include(CPack)
