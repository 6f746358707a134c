# The installed layout: the program's folder and the service's folders.
#
# The program lives in <prefix>/lib/zuntar-mervo-plugin with a link in
# <prefix>/bin. Run from there, it keeps no file beside itself: the service
# reads <sysconfdir>/zuntar-mervo-plugin/ZuntarMervoPlugin.ini, logs into
# <localstatedir>/log/zuntar-mervo-plugin and keeps its task database in
# <localstatedir>/lib/zuntar-mervo-plugin; a desktop user's application
# keeps its own in the user's XDG folders. With the default prefix /usr
# those places are /etc and /var.
include(GNUInstallDirs)

set(ZUNTAR_LIB_SUBDIR lib/zuntar-mervo-plugin)
set(ZUNTAR_FULL_LIBDIR ${CMAKE_INSTALL_PREFIX}/${ZUNTAR_LIB_SUBDIR})
set(ZUNTAR_CONFIG_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/zuntar-mervo-plugin)
set(ZUNTAR_LOG_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/zuntar-mervo-plugin)
set(ZUNTAR_STATE_DIR ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/zuntar-mervo-plugin)
