# The Debian package (cpack -G DEB in the build folder): what `cmake --install`
# puts under /usr, its library dependencies found by dpkg-shlibdeps from the
# program itself, plus aria2, which Korvath runs but does not link.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvath)
set(CPACK_PACKAGE_VENDOR Fenlow)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_CONTACT "Fenlow <korvath@korvath.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "downloader for files shared by link, with aria2")
set(CPACK_PACKAGE_DESCRIPTION "Korvath shows a share-browsing web app; when a shared file's download
button is pressed there, it reads the file's name from the page and hands
the download to a local aria2 that it starts, configures and ends itself.
A second window manages the downloads.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${KORVATH_HOMEPAGE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS aria2)
# "Open folder" in the download manager and the notices runs xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
