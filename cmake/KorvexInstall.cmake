# KorvexInstall - where the suite is installed and how a program gets there.
#
# The programs and the plugin read and write fixed absolute paths, so the install layout is
# absolute too; DESTDIR (or CPack's staging directory) is prepended as usual.
#
# Exports: KORVEX_PROGRAM_DIR, KORVEX_SMTPD_USER, korvex_install_program(target) and the
# global property KORVEX_INSTALLED_PROGRAMS (every target handed to it, in order).
include_guard(GLOBAL)

set(KORVEX_PROGRAM_DIR /usr/share/korvex/bin)
set(KORVEX_SMTPD_USER "qmaild" CACHE STRING
    "User the SMTP daemon runs the plugin as; it owns the plugin's log and core directories")

# korvex_install_program - install a program target into KORVEX_PROGRAM_DIR (mode 0755).
function(korvex_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${KORVEX_PROGRAM_DIR}
          PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
  set_property(GLOBAL APPEND PROPERTY KORVEX_INSTALLED_PROGRAMS ${target})
endfunction()
