# Installation and the Debian packages (CPack's DEB generator; scripts/release.sh runs it).
# One package per program: gravelin-scanner, gravelin-report and, where the build has it,
# gravelin-receiver with its systemd unit, system user and data directory. The version is
# the project's; each package carries the project's licence and the notices of what its
# program contains in /usr/share/doc/PACKAGE/copyright.
include(GNUInstallDirs)

set(GRAVELIN_PACKAGE_CONTACT "gravelin-scanner maintainers <maintainers@gravelin.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")

set(packaging ${CMAKE_SOURCE_DIR}/packaging)
set(docs ${CMAKE_BINARY_DIR}/package-docs)

# copyright: the licence, then the third-party notices of that program. changelog.gz: one
# entry for this version, dated by SOURCE_DATE_EPOCH when set (string(TIMESTAMP) reads it).
string(TIMESTAMP GRAVELIN_PACKAGE_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
find_program(GRAVELIN_GZIP gzip)
function(gravelin_package_docs package component)
  file(READ ${CMAKE_SOURCE_DIR}/LICENSE text)
  set(copyright "${package}\n\nThis package: ${text}")
  foreach(notice ${ARGN})
    file(READ ${packaging}/notices/${notice}.txt part)
    string(APPEND copyright "\n----------------------------------------------------------------------\n"
           "Third-party notice (${notice}):\n\n${part}")
  endforeach()
  file(WRITE ${docs}/${package}/copyright "${copyright}")
  file(WRITE ${docs}/${package}/changelog
       "${package} (${PROJECT_VERSION}) stable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}.\n\n"
       " -- ${GRAVELIN_PACKAGE_CONTACT}  ${GRAVELIN_PACKAGE_DATE}\n")
  if(GRAVELIN_GZIP)
    execute_process(COMMAND ${GRAVELIN_GZIP} -9nf ${docs}/${package}/changelog)
    set(changelog ${docs}/${package}/changelog.gz)
  else()
    set(changelog ${docs}/${package}/changelog)
  endif()
  install(FILES ${docs}/${package}/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ COMPONENT ${component})
endfunction()

# Manual pages, compressed as Debian wants them (gzip -n: no name, no time stamp inside).
function(gravelin_man_page program component)
  set(page ${docs}/${program}.1)
  configure_file(${packaging}/man/${program}.1.in ${page} @ONLY)
  if(GRAVELIN_GZIP)
    execute_process(COMMAND ${GRAVELIN_GZIP} -9nc ${page} OUTPUT_FILE ${docs}/${program}.1.gz)
    set(page ${docs}/${program}.1.gz)
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
endfunction()

install(TARGETS gravelin-scanner RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT scanner)
gravelin_package_docs(gravelin-scanner scanner pugixml)
gravelin_man_page(gravelin-scanner scanner)
install(TARGETS gravelin-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT report)
gravelin_package_docs(gravelin-report report pugixml gcc-runtime cli11)
gravelin_man_page(gravelin-report report)
set(components scanner report)

if(TARGET gravelin-receiver)
  install(TARGETS gravelin-receiver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT receiver)
  install(FILES ${packaging}/receiver/gravelin-receiver.service
          DESTINATION /lib/systemd/system COMPONENT receiver)
  install(FILES ${packaging}/receiver/gravelin-receiver.default
          DESTINATION /etc/default RENAME gravelin-receiver COMPONENT receiver)
  gravelin_package_docs(gravelin-receiver receiver pugixml boost openssl sqlite libpq libsodium
                        nlohmann-json kainjow-mustache zlib cli11)
  gravelin_man_page(gravelin-receiver receiver)
  list(APPEND components receiver)
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_NAME gravelin-receiver)
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_CONTROL_EXTRA
      ${packaging}/receiver/postinst ${packaging}/receiver/postrm ${packaging}/receiver/conffiles)
  set(CPACK_DEBIAN_RECEIVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  string(CONCAT CPACK_COMPONENT_RECEIVER_DESCRIPTION
      "result endpoint and console for gravelin-scanner reports\n"
      "Receives the sealed reports the scanner's page posts, verifies and stores\n"
      "them (SQLite or PostgreSQL) and serves the console. Runs as the system user\n"
      "gravelin-receiver with its data in /var/lib/gravelin-receiver.")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gravelin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${GRAVELIN_PACKAGE_CONTACT})
set(CPACK_PACKAGE_VENDOR "gravelin-scanner")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SCANNER_PACKAGE_NAME gravelin-scanner)
set(CPACK_DEBIAN_REPORT_PACKAGE_NAME gravelin-report)
string(CONCAT CPACK_COMPONENT_SCANNER_DESCRIPTION
    "one-shot hardware survey that hands its report to the browser\n"
    "Reads the firmware's SMBIOS table and the system's hardware inventory,\n"
    "writes one XML report, seals it and leaves a page in the current directory\n"
    "that makes the browser post it to https://${GRAVELIN_RESULT_HOST}/.\n"
    "Run it with sudo to include the SMBIOS table and the serial numbers.")
string(CONCAT CPACK_COMPONENT_REPORT_DESCRIPTION
    "decode, seal and unseal gravelin-scanner reports\n"
    "For the people who receive and support reports: decodes SMBIOS table dumps\n"
    "(dmidecode --dump-bin, the Windows registry value, bare tables) into the\n"
    "report's XML, seals report texts and unseals sealed ones or submit pages.")
include(CPack)
