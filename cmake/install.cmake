# How the device receives the updater: cmake --install BUILD --prefix /usr (DESTDIR for a
# staging tree, as packaging/updater.spec does).
#
# The program and its manual page follow the prefix. Everything else sits where the
# program looks for it, at the fixed paths of src/base/paths.h, whatever the prefix.
include(GNUInstallDirs)

# A system administration command (updater(8)), run as root by the device's scheduler.
install(TARGETS updater RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
# The manual page names the project's version.
configure_file(${PROJECT_SOURCE_DIR}/man/updater.8.in ${PROJECT_BINARY_DIR}/man/updater.8 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/man/updater.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The shipped defaults, and the documented example of the site file.
install(FILES ${PROJECT_SOURCE_DIR}/data/defaults.conf DESTINATION /usr/share/resources/default/updater)
install(FILES ${PROJECT_SOURCE_DIR}/data/updater.conf DESTINATION /etc)

# What the program writes: the status files, the cache and the log of the last run. It
# creates files (and the cache's subdirectories) in them, never these directories themselves.
foreach(dir /var/lib/updater /var/cache/updater /var/log/updater)
  install(DIRECTORY DESTINATION ${dir}
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                WORLD_EXECUTE)
endforeach()

# Scheduling: a systemd service and its daily timer (enabled by the device's image or with
# systemctl enable updater.timer), and a cron example for devices with SysV init.
install(FILES ${PROJECT_SOURCE_DIR}/data/updater.service ${PROJECT_SOURCE_DIR}/data/updater.timer
        DESTINATION /usr/lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/data/updater.cron DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/updater/examples
        RENAME updater.cron)
