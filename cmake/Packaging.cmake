# Debian package: cmake --build build --target package -> spice-client_<version>_<arch>.deb
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME spice-client)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Seed 9a70f5a4 maintainers <maintainers@users.noreply.c-seed-9a70f5a4.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer for remote machines that speak SPICE")
set(CPACK_PACKAGE_DESCRIPTION "Shows the screen of a remote machine that speaks the SPICE remote-display
protocol (a virtual machine run by QEMU, an Xspice server) in one X11 window,
scaled to fit. Keyboard and mouse are forwarded and the remote machine's sound
plays on the local output. One instance runs per user: later starts hand a key
to the running instance, so that launchers and hot keys can press keys on the
remote machine without opening another window.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the binary links come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# What is loaded at run time and so invisible to dpkg-shlibdeps:
# - Qt's SVG image plugin draws the window icon (an SVG resource);
# - spice-client-glib plays sound through GStreamer: appsrc, audioconvert and audioresample
#   (base), autoaudiosink (good) and pulsesink (pulseaudio, also the way to PipeWire).
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt5svg5, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-pulseaudio")
# Nothing to play on without a sound server; a desktop usually has one of these. The connection
# file's type (.vv) reaches browsers and file managers through shared-mime-info and the desktop
# database; both update themselves by dpkg triggers when installed.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse, shared-mime-info, desktop-file-utils")
# Debian's spice-client-gtk ships /usr/share/man/man1/spice-client.1.gz too: the maintainer scripts
# divert its copy aside, so that both install and removing either leaves the other's page.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/preinst;${CMAKE_CURRENT_LIST_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
