# SPDX-License-Identifier: GPL-3.0-or-later
# A Debian package made from the install rules: `./setup.sh package`, which builds the release
# preset and runs `cpack --preset release`. Its dependencies come from the linked libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tessaline)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Tessaline Serial Data developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "data logger for a laboratory instrument on a serial port")
set(CPACK_PACKAGE_DESCRIPTION
    "Tessaline Serial Data logs the measurements of one laboratory instrument on a
serial (RS-232) port, such as a balance or a meter that sends its readings as
lines of text. Every line becomes one record, stamped with the date and time
if asked, appended whole to a daily or hourly plain text file.

The operator starts and stops acquisition, sends text to the instrument and
chooses the data folder, port, baud rate, stamps, file interval and header
comment in two small windows.

The package also holds tessaline-sim-balance, a simulated laboratory balance
on a pseudo-terminal, and tessaline-demo, which shows the logger with its
first port wired to the simulated balance.

tessaline-headless logs without a window, for a computer without a screen;
the systemd unit tessaline@NAME starts it at boot with the options of
/etc/tessaline/NAME.conf, as the system account tessaline.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tessaline Serial Data maintainers <maintainers@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Records and header comments may be Japanese: the record field asks for a Mincho face.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-ipafont-mincho)
# The service's account: the scripts make it with adduser and remove it at purge; they stop
# the running loggers at removal and restart them after an upgrade.
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# A cross build packages for its target, whatever dpkg on the build machine says.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
include(CPack)
