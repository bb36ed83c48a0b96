# Where labeldock lives on the appliance, for `cmake --install` and the Debian package:
#
#   <prefix>/bin/                       every program of the production folders (prefix /usr)
#   /var/www/html/cgi-bin/              the CGI programs (`ewsrelay`, also a command, as a link),
#                                       tags.json and local.json, and system.json as a link to
#                                       the status document that the status timer keeps in /run
#   /var/www/html/thumbs                link to /print/prns/thumbs (the job browser uses both names)
#   /var/www/html/{js,css,img}/, index.html   the touch pages' scripts, styles, icons, home page;
#                                       jQuery and jQuery UI as links into Debian's packages
#   /print/...                          the job, queue, upload and log folders
#   /lib/systemd/system/                the units of deploy/systemd whose programs are installed
#   /usr/lib/tmpfiles.d/labeldock.conf  owner of the folders the programs write, and /run/labeldock
#   /etc/lighttpd/conf-available/       the web server's fragment for the CGI folder
#   <prefix>/share/labeldock/           sample documents, the hosts entry tool
#
# A program is placed by its name and folder, so a new program needs no line here: programs of
# the folders in LABELDOCK_TEST_FOLDERS are test tools and stay out, the names in
# LABELDOCK_CGI_PROGRAMS go to the CGI folder, all others to <prefix>/bin.
include_guard(GLOBAL)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  # The units name the programs under this prefix, and the package installs there.
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix" FORCE)
endif()

set(LABELDOCK_TEST_FOLDERS testkit)
set(LABELDOCK_CGI_PROGRAMS jobdesk queuejson usbdesk ewsrelay)
# CGI programs that the appliance's timers and scripts also run as commands.
set(LABELDOCK_CGI_COMMANDS ewsrelay)
set(LABELDOCK_CGI_DIR /var/www/html/cgi-bin)
set(LABELDOCK_BINDIR ${CMAKE_INSTALL_PREFIX}/bin)
set(LABELDOCK_UNIT_DIR /lib/systemd/system)
set(LABELDOCK_DATA_DIR ${CMAKE_INSTALL_PREFIX}/share/labeldock)
set(deploy ${CMAKE_SOURCE_DIR}/deploy)

# Builds exactly what is installed (the package build needs no unit tests).
add_custom_target(labeldock_installed)

function(labeldock_program_name target out)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(${out} ${name} PARENT_SCOPE)
endfunction()

# A link inside the installed tree, written relative so that it also holds under DESTDIR.
function(labeldock_install_link link target)
  get_filename_component(dir ${link} DIRECTORY)
  file(RELATIVE_PATH rel ${dir} ${target})
  install(CODE "
    set(l \"\$ENV{DESTDIR}${link}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${dir}\")
    file(REMOVE \"\${l}\")
    file(CREATE_LINK \"${rel}\" \"\${l}\" SYMBOLIC)
    message(STATUS \"Installing: \${l} -> ${rel}\")")
endfunction()

set(LABELDOCK_INSTALLED_PROGRAMS "")
get_property(programs GLOBAL PROPERTY LABELDOCK_PROGRAMS)
foreach(target ${programs})
  get_target_property(folder ${target} LABELDOCK_FOLDER)
  if(folder IN_LIST LABELDOCK_TEST_FOLDERS)
    continue()
  endif()
  labeldock_program_name(${target} name)
  list(APPEND LABELDOCK_INSTALLED_PROGRAMS ${name})
  add_dependencies(labeldock_installed ${target})
  if(name IN_LIST LABELDOCK_CGI_COMMANDS)
    install(TARGETS ${target} RUNTIME DESTINATION ${LABELDOCK_BINDIR})
    labeldock_install_link(${LABELDOCK_CGI_DIR}/${name} ${LABELDOCK_BINDIR}/${name})
  elseif(name IN_LIST LABELDOCK_CGI_PROGRAMS)
    install(TARGETS ${target} RUNTIME DESTINATION ${LABELDOCK_CGI_DIR})
  else()
    install(TARGETS ${target} RUNTIME DESTINATION ${LABELDOCK_BINDIR})
  endif()
endforeach()

# The documents the CGI programs open from their working directory: the option schema and the
# texts come with the system; the status document is refreshed once a second, so it lives in
# /run (memory, not the SD card) and the CGI folder links to it.
install(FILES jobdesk/samples/tags.json jobdesk/samples/local.json DESTINATION ${LABELDOCK_CGI_DIR})
labeldock_install_link(${LABELDOCK_CGI_DIR}/system.json /run/labeldock/system.json)
install(DIRECTORY jobdesk/samples/ DESTINATION ${LABELDOCK_DATA_DIR}/samples FILES_MATCHING PATTERN "*.json")
labeldock_install_link(/var/www/html/thumbs /print/prns/thumbs)

# The touch pages' own files, and the jQuery files they load under the names they ask for, as
# links into Debian's libjs-jquery and libjs-jquery-ui (the package depends on both), so a
# security update of those reaches the pages.
install(DIRECTORY www/js www/css www/img DESTINATION /var/www/html)
install(FILES www/index.html DESTINATION /var/www/html)
set(jqui /usr/share/javascript/jquery-ui)
labeldock_install_link(/var/www/html/js/jquery-latest.min.js /usr/share/javascript/jquery/jquery.min.js)
labeldock_install_link(/var/www/html/js/jquery-ui.min.js ${jqui}/jquery-ui.min.js)
labeldock_install_link(/var/www/html/css/jquery-ui.min.css ${jqui}/themes/base/jquery-ui.min.css)
labeldock_install_link(/var/www/html/css/images ${jqui}/themes/base/images)
foreach(dir /print/prns/tmp/thumbs /print/prns/thumbs /print/prns/rejected /print/tmp/thumbs /print/printq /print/log)
  install(DIRECTORY DESTINATION ${dir})
endforeach()

# A unit is installed when every program it runs is; a .path or .timer unit with its service.
# Units with an [Install] section are the ones the package enables.
file(GLOB unit_templates ${deploy}/systemd/*.in)
set(LABELDOCK_UNITS "")
set(LABELDOCK_ENABLED_UNITS "")
foreach(template ${unit_templates})
  get_filename_component(unit ${template} NAME)
  string(REGEX REPLACE "\\.in$" "" unit ${unit})
  string(REGEX REPLACE "\\.[a-z]+$" ".service.in" service ${deploy}/systemd/${unit})
  file(READ ${service} text)
  string(REGEX MATCHALL "@LABELDOCK_BINDIR@/[A-Za-z0-9_]+" runs "${text}")
  set(complete TRUE)
  foreach(r ${runs})
    string(REPLACE "@LABELDOCK_BINDIR@/" "" r ${r})
    if(NOT r IN_LIST LABELDOCK_INSTALLED_PROGRAMS)
      set(complete FALSE)
    endif()
  endforeach()
  if(NOT complete)
    continue()
  endif()
  configure_file(${template} ${CMAKE_BINARY_DIR}/deploy/systemd/${unit} @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/deploy/systemd/${unit} DESTINATION ${LABELDOCK_UNIT_DIR})
  list(APPEND LABELDOCK_UNITS ${unit})
  file(READ ${template} text)
  if(text MATCHES "\n\\[Install\\]")
    list(APPEND LABELDOCK_ENABLED_UNITS ${unit})
  endif()
endforeach()
# The restrictions every service shares, applied by systemd to each labeldock-*.service.
install(FILES ${deploy}/systemd/labeldock-.service.d/hardening.conf DESTINATION ${LABELDOCK_UNIT_DIR}/labeldock-.service.d)
install(FILES ${deploy}/tmpfiles/labeldock.conf DESTINATION /usr/lib/tmpfiles.d)
install(FILES ${deploy}/lighttpd/50-labeldock.conf DESTINATION /etc/lighttpd/conf-available)
install(PROGRAMS ${deploy}/hosts-entry ${deploy}/lighttpd/printer-address DESTINATION ${LABELDOCK_DATA_DIR})
install(FILES README.md DESTINATION ${CMAKE_INSTALL_PREFIX}/share/doc/labeldock)

# The installed tree runs the appliance: layout, units, folders, hosts entry, a short pass.
# Needs the native programs and test tools, so only in the native build.
if(NOT CMAKE_CROSSCOMPILING AND NOT LABELDOCK_SANITIZE)
  add_test(NAME deploy_install COMMAND bash ${deploy}/install_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy_install PROPERTIES LABELS scenario TIMEOUT 300)
  # A stranger's address refused on port 5002 and on the CGI folder, between network namespaces
  # of the test's own (skipped with one line where they cannot be made).
  add_test(NAME deploy_exposure COMMAND bash ${deploy}/exposure_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy_exposure PROPERTIES LABELS scenario TIMEOUT 120)
  # The package's units booted by this machine's systemd in a container of the test's own.
  add_test(NAME deploy_systemd COMMAND bash ${deploy}/systemd_test.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(deploy_systemd PROPERTIES LABELS scenario TIMEOUT 180)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
