# The Debian package of the installed tree (script/package builds it from the armhf cross build):
#   cpack --config <build>/CPackConfig.cmake
# Its maintainer scripts (deploy/debian/) are filled in with the units that were installed.
include_guard(GLOBAL)

# The version counts the commits, so every package built from a newer commit is an upgrade.
set(LABELDOCK_PACKAGE_VERSION ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${CMAKE_SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE commits OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE rc)
  if(rc EQUAL 0 AND commits MATCHES "^[0-9]+$")
    set(LABELDOCK_PACKAGE_VERSION ${PROJECT_VERSION}+git${commits})
  endif()
endif()

list(JOIN LABELDOCK_ENABLED_UNITS " " LABELDOCK_ENABLED_UNITS_TEXT)
list(JOIN LABELDOCK_UNITS " " LABELDOCK_UNITS_TEXT)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/deploy/debian/${script}.in ${CMAKE_BINARY_DIR}/deploy/debian/${script} @ONLY)
  file(CHMOD ${CMAKE_BINARY_DIR}/deploy/debian/${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
# Documents an appliance maker may edit: an upgrade keeps their changes (dpkg asks).
file(WRITE ${CMAKE_BINARY_DIR}/deploy/debian/conffiles
     "/etc/lighttpd/conf-available/50-labeldock.conf\n${LABELDOCK_CGI_DIR}/tags.json\n${LABELDOCK_CGI_DIR}/local.json\n")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME labeldock)
set(CPACK_PACKAGE_VERSION ${LABELDOCK_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "labeldock maintainers <labeldock@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "print-server appliance controller: job receiver, job browser, spooler, RFID encoder")
set(CPACK_PACKAGE_DESCRIPTION "labeldock receives print jobs from the network, keeps a job library with
thumbnails for the touch screen's CGI pages, queues, filters and sends jobs to the label printer,
encodes RFID tags while labels print, relays the printer's web pages and keeps event logs.
The programs are statically linked.")
# The tree holds absolute places (/var/www, /print, /etc, /lib/systemd): installed under DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Static programs: no shared libraries to depend on. lighttpd runs the CGI programs and its
# fragment is enabled by postinst; systemd runs the units and makes the folders (tmpfiles.d).
# The commands the programs and the scripts they write run: printer discovery sets the netmask
# with ip (iproute2) and the route with route (net-tools, through sudo when not root) and pings candidate
# addresses (iputils-ping); the USB page's scripts use sudo, kill (procps) and umount (mount).
# The rest (tar, cp, mv, mkdir) is essential. deploy/package_test.sh holds the list of commands.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lighttpd, systemd, libjs-jquery, libjs-jquery-ui, iproute2, net-tools, iputils-ping, sudo, procps, mount")
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/deploy/debian/postinst ${CMAKE_BINARY_DIR}/deploy/debian/prerm
    ${CMAKE_BINARY_DIR}/deploy/debian/postrm ${CMAKE_BINARY_DIR}/deploy/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
