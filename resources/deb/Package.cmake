# The Debian package, built by cpack from a configured and built tree whose install prefix is
# /usr: dpkg-shlibdeps computes the library dependencies, the maintainer scripts reload udev.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Velmar nv")
set(CPACK_PACKAGE_CONTACT ${KESTREL_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for Velmar USB mobile broadband cards")
# Lines of the long description, each shorter than 80 characters as Debian wants them.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Kestrel finds a plugged-in Velmar USB modem, reads the firmware and software\n"
    "versions it reports, compares them with the firmware package it carries and,\n"
    "on request, downloads the new firmware into the card and configures it. It\n"
    "runs with a window or, for installers, without one, and ends with an exit\n"
    "code that tells what happened.\n"
    "\n"
    "The package also holds kestrel-pck, which builds and inspects firmware\n"
    "packages, and kestrel-nwmon, which shows how the card detection sees the\n"
    "cards, with the udev rules that name the card's interfaces and the polkit\n"
    "policy that lets a user run the updater as administrator.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# udev applies the rules the device enumeration reads; pkexec lets a plain user start the update,
# xhost lets the elevated window onto a Wayland session's display.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "udev")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pkexec, x11-xserver-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/resources/deb/postinst ${PROJECT_SOURCE_DIR}/resources/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The registry store's folder is installed at its absolute path.
set(CPACK_SET_DESTDIR ON)
include(CPack)
