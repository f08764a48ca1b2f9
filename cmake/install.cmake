# Installs the logger, the demo and the simulated instrument, with a desktop entry and its icon
# so the logger starts from a desktop menu. Included after the tools are defined.
include(GNUInstallDirs)

# The demo finds the simulated instrument beside itself, so both go to the same folder.
install(TARGETS tessaline tessaline_demo sim_instrument RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../packaging/tessaline.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../ui/icons/varlin.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps
        RENAME tessaline.png)
