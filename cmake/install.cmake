# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the logger, the demo and the simulated balance with what a desktop expects around
# them: a menu entry and its icon, AppStream metadata, manual pages, the copyright and the
# changelog. Included after the tools are defined; cmake/package.cmake makes a Debian package
# of the same rules.
include(GNUInstallDirs)

set(TESSALINE_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(TESSALINE_GENERATED ${PROJECT_BINARY_DIR}/packaging)

# The project has no public address yet. The AppStream id, the address of the screenshots and
# the maintainer's (cmake/package.cmake, packaging/changelog) sit in the reserved example.org
# domain until it has one; change them together.
set(TESSALINE_APPSTREAM_ID org.example.tessaline)
set(TESSALINE_SCREENSHOT_URL https://example.org/tessaline/docs)

# The changelog's first entry is this version's; its date goes into the metadata and the
# manual pages. A new version without a new entry stops here.
file(STRINGS ${TESSALINE_PACKAGING}/changelog changelog)
list(GET changelog 0 entry)
if(NOT entry MATCHES "^tessaline \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog: the first entry must be for version ${PROJECT_VERSION}")
endif()
list(FILTER changelog INCLUDE REGEX "^ -- ")
list(GET changelog 0 signature)
if(NOT signature MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog: no date in \"${signature}\"")
endif()
set(day ${CMAKE_MATCH_1})
set(year ${CMAKE_MATCH_3})
set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND months "${CMAKE_MATCH_2}" month)
if(month LESS 0)
  message(FATAL_ERROR "packaging/changelog: no month in \"${signature}\"")
endif()
math(EXPR month "${month} + 101")
string(SUBSTRING ${month} 1 2 month)
set(TESSALINE_RELEASE_DATE ${year}-${month}-${day})

configure_file(${TESSALINE_PACKAGING}/tessaline.metainfo.xml.in
               ${TESSALINE_GENERATED}/${TESSALINE_APPSTREAM_ID}.metainfo.xml @ONLY)

# Manual pages and the changelog go compressed, without names or times in the gzip header, so
# that two builds of one version give the same package.
set(compressed)
foreach(page tessaline tessaline-demo tessaline-sim-balance)
  configure_file(${TESSALINE_PACKAGING}/man/${page}.1.in ${TESSALINE_GENERATED}/${page}.1 @ONLY)
  list(APPEND compressed ${page}.1)
endforeach()
configure_file(${TESSALINE_PACKAGING}/changelog ${TESSALINE_GENERATED}/changelog COPYONLY)
list(APPEND compressed changelog)
set(compressed_files)
foreach(name ${compressed})
  add_custom_command(OUTPUT ${TESSALINE_GENERATED}/${name}.gz
                     COMMAND gzip -9nkf ${name}
                     DEPENDS ${TESSALINE_GENERATED}/${name}
                     WORKING_DIRECTORY ${TESSALINE_GENERATED})
  list(APPEND compressed_files ${TESSALINE_GENERATED}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${compressed_files})

# Directories get the usual modes whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The demo finds the simulated balance beside itself, and `tessaline --headless` the logger
# without a window, so all go to the same folder.
install(TARGETS tessaline tessaline-headless tessaline_demo sim_instrument
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TESSALINE_PACKAGING}/tessaline.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/ui/icons/varlin.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME tessaline.png)
install(FILES ${TESSALINE_GENERATED}/${TESSALINE_APPSTREAM_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The logger's page tells of the one without a window too.
file(CREATE_LINK tessaline.1.gz ${TESSALINE_GENERATED}/tessaline-headless.1.gz SYMBOLIC)
install(FILES ${TESSALINE_GENERATED}/tessaline.1.gz ${TESSALINE_GENERATED}/tessaline-headless.1.gz
              ${TESSALINE_GENERATED}/tessaline-demo.1.gz
              ${TESSALINE_GENERATED}/tessaline-sim-balance.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${TESSALINE_PACKAGING}/copyright ${TESSALINE_GENERATED}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessaline)

# The logger at boot, one instance per instrument (tessaline@NAME reads
# /etc/tessaline/NAME.conf), with an options file to start from. Debian 12 keeps packaged units
# in /lib, not /usr/lib; the package's scripts (cmake/package.cmake) make its account.
set(TESSALINE_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH
    "Where the package puts the systemd unit (absolute)")
install(FILES ${TESSALINE_PACKAGING}/systemd/tessaline@.service
        DESTINATION ${TESSALINE_SYSTEMD_UNIT_DIR})
install(FILES ${TESSALINE_PACKAGING}/systemd/balance1.conf
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tessaline/examples)
# Where the administrator writes each instrument's options; the package ships it empty.
install(DIRECTORY DESTINATION /etc/tessaline)
