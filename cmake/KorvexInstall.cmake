# KorvexInstall - where the suite is installed and how a program gets there.
#
# The programs and the plugin read and write fixed absolute paths, so the install layout is
# absolute too; DESTDIR (or CPack's staging directory) is prepended as usual.
#
# Exports: KORVEX_COMMAND_DIR, KORVEX_PROGRAM_DIR, KORVEX_SMTPD_USER,
# korvex_install_program(target) and the global property KORVEX_INSTALLED_PROGRAMS (every
# target handed to it, in order).
include_guard(GLOBAL)

# The programs live where an administrator's PATH finds them; the fixed paths that
# qmail-spp configurations, cron and korvex-update name are symbolic links to them.
set(KORVEX_COMMAND_DIR /usr/sbin)
# Every destination is absolute; the prefix only decides which directory a package stages
# first, and an unused /usr/local would stay behind in it empty.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix (every path is absolute)" FORCE)
endif()
set(KORVEX_PROGRAM_DIR /usr/share/korvex/bin)
set(KORVEX_SMTPD_USER "qmaild" CACHE STRING
    "User the SMTP daemon runs the plugin as; it owns the plugin's log and core directories")

# korvex_install_program - install a program target into KORVEX_COMMAND_DIR (mode 0755)
# and link KORVEX_PROGRAM_DIR/<program> to it (a relative link, valid in a staged tree too).
function(korvex_install_program target)
  install(TARGETS ${target} RUNTIME DESTINATION ${KORVEX_COMMAND_DIR}
          PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                      WORLD_READ WORLD_EXECUTE)
  file(RELATIVE_PATH link_target ${KORVEX_PROGRAM_DIR} ${KORVEX_COMMAND_DIR}/${target})
  set(link "\$ENV{DESTDIR}${KORVEX_PROGRAM_DIR}/${target}")
  install(CODE "message(STATUS \"Installing: ${link} -> ${link_target}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${KORVEX_PROGRAM_DIR}\")
    file(REMOVE \"${link}\")
    file(CREATE_LINK \"${link_target}\" \"${link}\" SYMBOLIC)")
  # A stripped install (packages) also drops the compilers' version notes, as dh_strip does.
  if(CMAKE_OBJCOPY)
    install(CODE "if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
                              \"\$ENV{DESTDIR}${KORVEX_COMMAND_DIR}/${target}\"
                      RESULT_VARIABLE failed)
      if(failed)
        message(FATAL_ERROR \"objcopy ${target} failed\")
      endif()
    endif()")
  endif()
  set_property(GLOBAL APPEND PROPERTY KORVEX_INSTALLED_PROGRAMS ${target})
endfunction()
