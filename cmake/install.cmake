# Install layout and the Debian package. Included from the top CMakeLists.txt.
include(GNUInstallDirs)

install(TARGETS orvane-mail-quarantine mq-overseer mq-web RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS mqctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian wants them.
find_program(MQ_GZIP gzip)
set(MQ_MAN_PAGES man/mqctl.1 man/mq-overseer.8 man/orvane-mail-quarantine.8 man/mq-web.8)
foreach(page ${MQ_MAN_PAGES})
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE ".*\\.([0-9])$" "\\1" section ${name})
  if(MQ_GZIP)
    set(out ${CMAKE_BINARY_DIR}/man/${name}.gz)
    add_custom_command(
      OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${MQ_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/${page} > ${out}
      DEPENDS ${CMAKE_SOURCE_DIR}/${page}
      VERBATIM)
    list(APPEND MQ_MAN_OUTPUTS ${out})
  else()
    set(out ${CMAKE_SOURCE_DIR}/${page})
  endif()
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()
if(MQ_MAN_OUTPUTS)
  add_custom_target(mq_man_pages ALL DEPENDS ${MQ_MAN_OUTPUTS})
  # Whoever builds mqctl can install: the pages are made with it.
  add_dependencies(mqctl mq_man_pages)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/completion/mqctl DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The service: unit, configuration, options. With the prefix /usr (the
# package) they go to /lib/systemd/system and /etc; with any other prefix
# under it, so that an install into a folder stays in that folder.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(MQ_UNIT_DIR /lib/systemd/system)
  set(MQ_ETC_DIR /etc)
else()
  set(MQ_UNIT_DIR lib/systemd/system)
  set(MQ_ETC_DIR ${CMAKE_INSTALL_SYSCONFDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/orvane-mail-quarantine.service
              ${CMAKE_SOURCE_DIR}/packaging/orvane-mail-quarantine-web.service DESTINATION ${MQ_UNIT_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/packaging/config.json DESTINATION ${MQ_ETC_DIR}/orvane-mail-quarantine)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/default DESTINATION ${MQ_ETC_DIR}/default
        RENAME orvane-mail-quarantine)
# Alerting rules for a Prometheus server that scrapes mq-overseer.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/orvane-mail-quarantine/prometheus)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/default-web DESTINATION ${MQ_ETC_DIR}/default
        RENAME orvane-mail-quarantine-web)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(MQ_GZIP)
  set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  add_custom_command(
    OUTPUT ${changelog}
    COMMAND ${MQ_GZIP} -9 -n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog
    VERBATIM)
  add_custom_target(mq_changelog ALL DEPENDS ${changelog})
  add_dependencies(mqctl mq_changelog)
  install(FILES ${changelog} DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# scripts/package.sh: cpack -G DEB. The library dependencies come from
# dpkg-shlibdeps on the installed programs: libprotobuf32, libsqlite3-0,
# libssl3, libsystemd0, libboost-{thread,filesystem,program-options,json}1.81.0,
# libstdc++6, libgcc-s1, libc6, zlib1g on Debian 12.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-mail-quarantine)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "orvane-mail-quarantine developers <mail-quarantine@orvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail quarantine daemon with its supervisor stand-in, mqctl and mq-web")
set(CPACK_PACKAGE_DESCRIPTION
    "Keeps a durable queue of mail messages for the mail-processing daemon of a\nmail-security suite: message files in a spool directory, their metadata in\nSQLite. Includes mq-overseer, a small supervisor, mqctl, the tool to\nlook at and act on the queues, and mq-web, the same in a browser.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS bash-completion)
set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/conffiles ${CMAKE_SOURCE_DIR}/packaging/postinst
    ${CMAKE_SOURCE_DIR}/packaging/prerm ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
