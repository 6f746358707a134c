# Installation layout and the Debian package (cmake --install, cpack -G DEB).
#
# The places come from cmake/ZuntarLayout.cmake. The certificate tool and
# the provider module share the program's folder (the tool registers the
# module that lies beside it). The service's log and database folders are
# root's alone (0700): nobody else reads what the service logs and keeps.
#
# The service's unit goes where the program's own INSTALL writes it
# (<sysconfdir>/systemd/system): the program finds out that it runs as the
# service by reading that unit.
set(ZUNTAR_BIN_LINK ${CMAKE_INSTALL_FULL_BINDIR}/ZuntarMervoPlugin)
set(ZUNTAR_AUTOSTART_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/xdg/autostart)
set(ZUNTAR_UNIT_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/systemd/system)
set(ZUNTAR_LOGROTATE_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d)
set(ZUNTAR_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/zuntar-mervo-plugin)
set(packaging ${PROJECT_SOURCE_DIR}/packaging)
set(staged ${PROJECT_BINARY_DIR}/packaging)

install(TARGETS ZuntarMervoPlugin zuntar-certtool RUNTIME DESTINATION ${ZUNTAR_LIB_SUBDIR})
install(TARGETS zuntar_gost_csp LIBRARY DESTINATION ${ZUNTAR_LIB_SUBDIR})

# Links made at install time, under DESTDIR when one is given.
function(zuntar_install_link target link)
  install(CODE "
    set(link \"\$ENV{DESTDIR}${link}\")
    get_filename_component(folder \"\${link}\" DIRECTORY)
    file(MAKE_DIRECTORY \"\${folder}\")
    file(CREATE_LINK \"${target}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Installing: \${link} -> ${target}\")")
endfunction()
zuntar_install_link(../${ZUNTAR_LIB_SUBDIR}/ZuntarMervoPlugin ${ZUNTAR_BIN_LINK})
zuntar_install_link(../${ZUNTAR_LIB_SUBDIR}/zuntar-certtool ${CMAKE_INSTALL_FULL_BINDIR}/zuntar-certtool)

configure_file(${packaging}/ZuntarMervoPlugin.ini.in ${staged}/ZuntarMervoPlugin.ini @ONLY NEWLINE_STYLE CRLF)
install(FILES ${staged}/ZuntarMervoPlugin.ini DESTINATION ${ZUNTAR_CONFIG_DIR})
# The folders themselves, made private in the package already.
file(MAKE_DIRECTORY ${staged}/private/zuntar-mervo-plugin)
foreach(folder ${ZUNTAR_LOG_DIR} ${ZUNTAR_STATE_DIR})
  get_filename_component(parent ${folder} DIRECTORY)
  install(DIRECTORY ${staged}/private/zuntar-mervo-plugin DESTINATION ${parent}
          DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
endforeach()
configure_file(${packaging}/zuntar-mervo-plugin.desktop.in ${staged}/zuntar-mervo-plugin.desktop @ONLY)
install(FILES ${staged}/zuntar-mervo-plugin.desktop DESTINATION ${ZUNTAR_AUTOSTART_DIR})
configure_file(${packaging}/ZuntarMervoPlugin.service.in ${staged}/ZuntarMervoPlugin.service @ONLY)
install(FILES ${staged}/ZuntarMervoPlugin.service DESTINATION ${ZUNTAR_UNIT_DIR})
configure_file(${packaging}/logrotate.in ${staged}/logrotate @ONLY)
install(FILES ${staged}/logrotate DESTINATION ${ZUNTAR_LOGROTATE_DIR} RENAME zuntar-mervo-plugin)

# Man pages and the changelog, compressed as Debian keeps them.
find_program(GZIP_PROGRAM gzip REQUIRED)
function(zuntar_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND ${GZIP_PROGRAM} -9n -c ${source} > ${output} DEPENDS ${source}
                     VERBATIM)
endfunction()
foreach(page ZuntarMervoPlugin.1 zuntar-certtool.1)
  zuntar_gzip(${PROJECT_SOURCE_DIR}/docs/man/${page} ${staged}/${page}.gz)
  list(APPEND man_pages ${staged}/${page}.gz)
endforeach()
zuntar_gzip(${packaging}/debian/changelog ${staged}/changelog.gz)
add_custom_target(zuntar_compressed_docs ALL DEPENDS ${man_pages} ${staged}/changelog.gz)
install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md docs/api.md ${packaging}/debian/copyright ${staged}/changelog.gz DESTINATION ${ZUNTAR_DOC_DIR})
install(FILES bench/README.md DESTINATION ${ZUNTAR_DOC_DIR} RENAME benchmarks.md)
install(DIRECTORY examples/ DESTINATION ${ZUNTAR_DOC_DIR}/examples)
# The JavaScript client for pages, where the example page imports it from.
install(FILES clients/js/zuntar-mervo.js clients/js/zuntar-mervo.d.ts clients/js/README.md
        DESTINATION ${ZUNTAR_DOC_DIR}/clients/js)

# The Debian package.
foreach(script postinst prerm postrm)
  configure_file(${packaging}/debian/${script}.in ${staged}/debian/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                                  WORLD_EXECUTE)
endforeach()
file(WRITE ${staged}/debian/conffiles
     "${ZUNTAR_CONFIG_DIR}/ZuntarMervoPlugin.ini\n${ZUNTAR_AUTOSTART_DIR}/zuntar-mervo-plugin.desktop\n"
     "${ZUNTAR_UNIT_DIR}/ZuntarMervoPlugin.service\n${ZUNTAR_LOGROTATE_DIR}/zuntar-mervo-plugin\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zuntar-mervo-plugin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "ZuntarMervoPlugin developers <zuntar@example.ru>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Signing service for web pages with GOST certificates and keys")
# The summary above is the synopsis line; this is the text below it.
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "A small HTTP server on the workstation (http://localhost:18080/MERVO/...)\n"
       "through which the pages of a document-exchange system list the user's GOST\n"
       "certificates, sign data and hash values and decrypt CMS messages. It runs as\n"
       "the systemd service ZuntarMervoPlugin or as a tray application.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time, so not found by shlibdeps: the embedded Firebird
# engine, OpenSSL's GOST engine and Qt's platform plugins.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "firebird3.0-server-core, libengine-gost-openssl, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "curl")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${staged}/debian/postinst ${staged}/debian/prerm ${staged}/debian/postrm ${staged}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
