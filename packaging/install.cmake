# Installation and the Debian package.
#
# cmake --install puts in place the programs, their manual pages, the systemd
# units, the Postfix snippets and the sample configuration, templates and lists
# under KV_CONFDIR (never overwriting what is there), and creates the spool and
# quarantine directories. cpack -G DEB in the build directory makes
# kerval-postfix_VERSION_amd64.deb from the same rules (prefix /usr): the files
# under /etc/kerval are its conffiles, its maintainer scripts
# (packaging/debian/) create the accounts and the spool, quarantine and run
# directories, and its dependencies come from dpkg-shlibdeps.
include(GNUInstallDirs)
set(KV_CONFDIR "/etc/kerval" CACHE PATH "Directory of the configuration, templates and lists")
set(KV_UNITDIR "lib/systemd/system" CACHE STRING "Directory of the systemd units (a relative one is under the prefix)")
set(KV_PACKAGE_MAINTAINER "kerval-postfix developers <kerval-postfix@example.org>"
    CACHE STRING "The Debian package's Maintainer field, and its changelog's signature")

# The programs, each with its manual page and its unit where it has them.
install(TARGETS kerval-postfix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES man/kerval-postfix.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/kerval_postfix.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
set(KV_UNITS "")
foreach(program kervald kerval-milter kerval-quarantine)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
    if(EXISTS ${CMAKE_SOURCE_DIR}/man/${program}.8)
      install(FILES man/${program}.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
    endif()
    if(EXISTS ${CMAKE_SOURCE_DIR}/systemd/${program}.service)
      list(APPEND KV_UNITS ${program}.service)
    endif()
  endif()
endforeach()
# The units name the programs where this installation puts them (the prefix is
# known only when installing: cpack installs under /usr).
foreach(unit IN LISTS KV_UNITS)
  install(CODE "
    set(KV_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(KV_CONFDIR \"${KV_CONFDIR}\")
    configure_file(\"${CMAKE_SOURCE_DIR}/systemd/${unit}\" \"${CMAKE_BINARY_DIR}/systemd/${unit}\" @ONLY)
  ")
  install(FILES ${CMAKE_BINARY_DIR}/systemd/${unit} DESTINATION ${KV_UNITDIR})
endforeach()

install(DIRECTORY etc/postfix DESTINATION ${CMAKE_INSTALL_DATADIR}/kerval-postfix)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kerval-postfix)
# The package's maintainer scripts create these with their owners instead.
install(DIRECTORY DESTINATION /var/spool/kerval/filter)
install(DIRECTORY DESTINATION /var/lib/kerval/quarantine)

# The sample configuration, templates and lists; an existing file is kept.
file(GLOB KV_TEMPLATES RELATIVE ${CMAKE_SOURCE_DIR}/etc CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/etc/templates/*.tmpl)
set(KV_CONF_FILES kerval_postfix.conf deny.list unnotifiable-viruses.list unnotifiable-addresses.list ${KV_TEMPLATES})
install(CODE "
  set(src \"${CMAKE_SOURCE_DIR}/etc\")
  set(dest \"${KV_CONFDIR}\")
  foreach(name ${KV_CONF_FILES})
    get_filename_component(dir \"\${dest}/\${name}\" DIRECTORY)
    if(EXISTS \"\$ENV{DESTDIR}\${dest}/\${name}\")
      message(STATUS \"Keeping: \$ENV{DESTDIR}\${dest}/\${name}\")
    else()
      file(INSTALL \"\${src}/\${name}\" DESTINATION \"\${dir}\")
    endif()
  endforeach()
")

# ---------------------------------------------------------------- the Debian package
# Maintainer scripts: the units they enable (the daemon), leave for the
# administrator (the milter) and stop on removal.
set(KV_ENABLED_UNITS "")
set(KV_OPTIONAL_UNITS "")
foreach(unit IN LISTS KV_UNITS)
  if(unit STREQUAL "kervald.service")
    list(APPEND KV_ENABLED_UNITS ${unit})
  else()
    list(APPEND KV_OPTIONAL_UNITS ${unit})
  endif()
endforeach()
list(JOIN KV_ENABLED_UNITS " " KV_ENABLED_UNITS)
list(JOIN KV_OPTIONAL_UNITS " " KV_OPTIONAL_UNITS)
list(JOIN KV_UNITS " " KV_ALL_UNITS)
set(KV_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
foreach(script postinst prerm postrm)
  configure_file(packaging/debian/${script}.in ${KV_DEBIAN_DIR}/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
list(TRANSFORM KV_CONF_FILES PREPEND "${KV_CONFDIR}/" OUTPUT_VARIABLE KV_CONFFILES)
list(JOIN KV_CONFFILES "\n" KV_CONFFILES)
file(CONFIGURE OUTPUT ${KV_DEBIAN_DIR}/conffiles CONTENT "${KV_CONFFILES}\n" @ONLY)
configure_file(packaging/debian/changelog.in ${KV_DEBIAN_DIR}/changelog @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kerval-postfix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "${KV_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "virus filter for the Postfix mail system")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "kerval-postfix has every message Postfix receives over SMTP scanned for
viruses and other malware before it is delivered: an after-queue content
filter run through pipe(8), and a milter for before-queue filtering where it
is built. Infected mail is quarantined, rejected, discarded, cured or
redirected as configured, with notifications from templates.

The scanning daemon kervald scans with libclamav and the signature
databases that the signature updater keeps current.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "postfix, clamav-freshclam")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${KV_DEBIAN_DIR}/conffiles ${KV_DEBIAN_DIR}/postinst ${KV_DEBIAN_DIR}/prerm ${KV_DEBIAN_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# After the install into the package's tree: Debian's documentation files,
# compressed manual pages, stripped programs, and no directories the
# maintainer scripts own.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/debian/stage.cmake)
set(CPACK_KV_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_KV_DEBIAN_DIR ${KV_DEBIAN_DIR})
set(CPACK_KV_STRIP ${CMAKE_STRIP})
include(CPack)
