# Debian packages through CPack: `cpack -G DEB` in a build directory makes
# one package per component, so that a server can take corvandel-ping
# without Qt:
#   corvandel-ping  the program, its manual page and the scheduling examples
#   corvandel       the window, its launcher, menu entry, icons, sample list
#                   and manual page (built with CORVANDEL_BUILD_GUI)
# Each package's dependencies are read from its binaries by dpkg-shlibdeps
# (dpkg-dev), so a library linked later is picked up with no change here.

set(CORVANDEL_PACKAGE_MAINTAINER "Corvandel maintainers <maintainers@corvandel.invalid>" CACHE STRING
    "The Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME corvandel)
set(CPACK_PACKAGE_VENDOR "Corvandel")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CORVANDEL_PACKAGE_MAINTAINER}")
# Empty, so that CPack does not put one synopsis above both packages'
# descriptions: each begins with its own.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

# The install rules write absolute paths into what they install (the menu
# entry's Exec, the examples' program), so the package is installed with
# its final prefix and DESTDIR, not into a staging prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
# Only the components this build installs, so that no package is empty.
set(CPACK_COMPONENTS_ALL)
if(CORVANDEL_BUILD_CLI)
  list(APPEND CPACK_COMPONENTS_ALL corvandel-ping)
endif()
if(CORVANDEL_BUILD_GUI)
  list(APPEND CPACK_COMPONENTS_ALL corvandel)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CORVANDEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The architecture is left to CPack, which asks dpkg.

set(CPACK_DEBIAN_CORVANDEL-PING_PACKAGE_NAME corvandel-ping)
set(CPACK_COMPONENT_CORVANDEL-PING_DISPLAY_NAME "corvandel-ping")
# The first line is the synopsis.
set(CPACK_DEBIAN_CORVANDEL-PING_DESCRIPTION
"announce web sites to blog ping services from the command line
corvandel-ping announces sites to blog ping services (XML-RPC
weblogUpdates.ping), IndexNow endpoints and WebSub hubs, for cron, systemd
timers and scripts. It keeps a ledger of what it announced, so that a run
from a sitemap or a feed announces only what is new or changed, and writes
one line per call as text, JSON lines or CSV.

Examples of a systemd user timer and a crontab line are in
/usr/share/doc/corvandel/examples.")

set(CPACK_DEBIAN_CORVANDEL_PACKAGE_NAME corvandel)
set(CPACK_COMPONENT_CORVANDEL_DISPLAY_NAME "Corvandel")
set(CPACK_DEBIAN_CORVANDEL_DESCRIPTION
"announce web sites to blog ping services from a desktop window
Corvandel is a desktop window that announces a list of web sites to a list
of blog ping services (XML-RPC weblogUpdates.ping), IndexNow endpoints and
WebSub hubs, with a pool of worker threads, a log of every call and the
reason of each failure.

corvandel-ping, packaged on its own, does the same from the command line.")

include(CPack)
