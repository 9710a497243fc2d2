# Installation and the Debian package: the four programs go to bin, nmos-bridge and qelconnect run as
# systemd services (units in /lib/systemd/system, their settings in /etc/default, kept as conffiles).
# `cpack -G DEB` in a build folder makes qel-nmos_<version>_<architecture>.deb for the architecture the
# folder was built for.
include(GNUInstallDirs)
foreach(program nmos-bridge qelconnect memwrite memdump)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
set(QEL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
foreach(service nmos-bridge qelconnect)
  if(TARGET ${service})
    install(FILES ${QEL_PACKAGING_DIR}/systemd/${service}.service DESTINATION /lib/systemd/system)
    install(FILES ${QEL_PACKAGING_DIR}/default/${service} DESTINATION /etc/default)
  endif()
endforeach()

if(NOT QEL_DEB_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE QEL_DEB_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-nmos)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "NMOS node bridge, device service daemon and memory tools")
set(CPACK_PACKAGE_CONTACT "QEL device software <devices@qel.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${QEL_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The library packages the programs link, found by dpkg-shlibdeps from the programs themselves, and the
# one that nmos-bridge needs without linking it: libwebsockets loads its libuv event loop support
# (libwebsockets-evlib_uv.so) when the bridge creates its contexts on the worker's loop.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libwebsockets-evlib-uv)
# What the programs use at run time without linking it: nmos-bridge the Avahi daemon on the D-Bus system
# bus (it runs without them, with discovery off), qelconnect /bin/busybox to reboot the device.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, dbus, busybox")
# Enabling, starting and stopping the units the Debian way, and the settings files as conffiles.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${QEL_PACKAGING_DIR}/debian/postinst ${QEL_PACKAGING_DIR}/debian/prerm ${QEL_PACKAGING_DIR}/debian/postrm
    ${QEL_PACKAGING_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_STRIP_FILES ON)
include(CPack)
