# Debian packages, made by `cpack` in a build folder (`./x package` makes
# them for amd64 and mipsel):
#   tvr27pk-plugin   the plug-in the host loads
#   tvr27pk-monitor  the monitor and the simulator, the host library they
#                    and the plug-in share (private folder), a systemd
#                    template unit, an example site file, the web page's files
# vnqhost-dev (component "host", the host library and its headers) is not
# made by default: cpack -D CPACK_COMPONENTS_ALL="host" makes it.
# A cross build for mipsel yields mipsel packages.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tvr27pk-driver)
set(CPACK_PACKAGE_VENDOR "tvr27pk driver team")
set(CPACK_PACKAGE_CONTACT "tvr27pk driver team <driver@tvr27pk.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Power-system driver plug-in for the site-monitoring host")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "")

set(PMB_PLUGIN_PACKAGE tvr27pk-plugin)
set(PMB_TOOLS_PACKAGE tvr27pk-monitor)
set(PMB_MONITOR_NAME tvr27pk-monitor)
set(PMB_PLUGIN_PATH /usr/${CMAKE_INSTALL_LIBDIR}/vnq/plugins/libtvr27pk.so)

# The Debian libraries each package's programs link, by package name (the
# same names for both architectures). A new library of the tools is one
# more entry here.
set(PMB_BASE_DEPENDS "libc6 (>= 2.34)" "libgcc-s1 (>= 3.0)" "libstdc++6 (>= 12)" "libjsoncpp25 (>= 1.9.5)")
# The web page draws its charts with Debian's Chart.js.
set(PMB_TOOLS_DEPENDS ${PMB_BASE_DEPENDS} "libsqlite3-0 (>= 3.40.1)" "libncursesw6 (>= 6.4)" "libtinfo6 (>= 6.4)"
    "libmosquitto1 (>= 2.0.11)" "libjs-chart.js" "libsnmp40 (>= 5.9.3)")

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME ${PMB_PLUGIN_PACKAGE})
list(JOIN PMB_BASE_DEPENDS ", " CPACK_DEBIAN_PLUGIN_PACKAGE_DEPENDS)
set(CPACK_DEBIAN_PLUGIN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PLUGIN_DESCRIPTION "tvr27pk power-system driver plug-in
The plug-in the site-monitoring host loads to watch a tvr27pk DC power
system over a serial line: AC input distribution, rectifier modules and DC
output distribution, with their signals, snapshots and alarms.")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME vnqhost-dev)
set(CPACK_DEBIAN_HOST_PACKAGE_DEPENDS "libjsoncpp25, libboost-dev, libjsoncpp-dev")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${PMB_TOOLS_PACKAGE})
list(JOIN PMB_TOOLS_DEPENDS ", " CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS)
string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", ${PMB_PLUGIN_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "tvr27pk power-system monitor and simulator
The monitor runs the tvr27pk plug-in on a serial line without the closed
site-monitoring host: it polls the power system, keeps the history and the
alarm events in an SQLite database and starts at boot through the systemd
template unit ${PMB_TOOLS_PACKAGE}@.service, one instance per site file
/etc/${PMB_TOOLS_PACKAGE}/<site>.json. pmbus-sim simulates a power system
on a pseudo-terminal or a serial port.")

if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "mips")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE _arch OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_arch})
endif()

# Each package's copyright file and changelog, which Debian asks of every
# package.
set(_pmb_pkg ${PROJECT_SOURCE_DIR}/tools/package)
configure_file(${_pmb_pkg}/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/package/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pmb_pkg}/changelog.in)
set(_pmb_components plugin)

# The tools' package, when the monitor is part of this build.
if(TARGET monitor AND TARGET pmbus-sim)
  list(APPEND _pmb_components tools)
  # The monitor, the simulator and the plug-in share libvnqhost: it goes to
  # the package's private folder, found through the programs' RUNPATH (the
  # plug-in, loaded by the monitor, finds it already loaded).
  set(_pmb_private lib/${PMB_TOOLS_PACKAGE})
  set_target_properties(monitor pmbus-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${_pmb_private}")
  install(TARGETS monitor pmbus-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(TARGETS vnqhost LIBRARY DESTINATION ${_pmb_private} COMPONENT tools NAMELINK_SKIP)
  # The SNMP subagent's module (tools/snmp/snmp_service.h looks for it here).
  install(TARGETS pmbus_snmp_agent LIBRARY DESTINATION ${_pmb_private} COMPONENT tools)
  # "monitor" alone says too little in /usr/bin.
  install(CODE "file(RENAME \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/monitor\"
                            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${PMB_MONITOR_NAME}\")"
          COMPONENT tools)
  foreach(_page tvr27pk-monitor.1 pmbus-sim.1)
    execute_process(COMMAND gzip -9nc ${_pmb_pkg}/${_page} OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/${_page}.gz)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pmb_pkg}/${_page})
    install(FILES ${CMAKE_BINARY_DIR}/package/${_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
  endforeach()
  configure_file(${_pmb_pkg}/monitor@.service.in
                 ${CMAKE_BINARY_DIR}/package/${PMB_TOOLS_PACKAGE}@.service @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_pmb_pkg}/monitor@.service.in)
  # Debian 12 keeps units in /lib/systemd/system (outside the prefix).
  install(FILES ${CMAKE_BINARY_DIR}/package/${PMB_TOOLS_PACKAGE}@.service
          DESTINATION /lib/systemd/system COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/monitor/site.example.json
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${PMB_TOOLS_PACKAGE}/examples RENAME site.json COMPONENT tools)
  # Prometheus rules and the Grafana dashboard (README: "Alert rules,
  # dashboard and Alertmanager").
  install(FILES ${PROJECT_SOURCE_DIR}/tools/prometheus/rules.yml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/${PMB_TOOLS_PACKAGE}/prometheus COMPONENT tools)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/grafana/dashboard.json
          DESTINATION ${CMAKE_INSTALL_DATADIR}/${PMB_TOOLS_PACKAGE}/grafana COMPONENT tools)
  # The SNMP subagent's MIB module, where net-snmp's tools and snmpd look.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/snmp/TVR27PK-MONITOR-MIB.txt
          DESTINATION ${CMAKE_INSTALL_DATADIR}/snmp/mibs COMPONENT tools)
  # The web page's files (tools/web), when the tree has them.
  if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/tools/web)
    install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/web/
            DESTINATION ${CMAKE_INSTALL_DATADIR}/${PMB_TOOLS_PACKAGE}/www COMPONENT tools)
  endif()
endif()

foreach(_c IN LISTS _pmb_components)
  string(TOUPPER ${_c} _C)
  set(_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${_C}_PACKAGE_NAME})
  install(FILES ${_pmb_pkg}/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
          DESTINATION ${_doc} COMPONENT ${_c})
endforeach()
set(CPACK_COMPONENTS_ALL ${_pmb_components})
include(CPack)

# The package test: cpack makes this build's packages into package/debs (a
# fixture), then tools/package/package_test runs the monitor from them.
if(PMB_TESTS AND NOT CMAKE_CROSSCOMPILING AND tools IN_LIST _pmb_components)
  # A fresh folder each time: packages of an older version must not linger.
  add_test(NAME package_make_debs
    COMMAND sh -c "rm -rf package/debs && \"$0\" -B package/debs" ${CMAKE_CPACK_COMMAND}
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  add_test(NAME package_monitor_runs_from_unpacked_packages
    COMMAND ${PROJECT_SOURCE_DIR}/tools/package/package_test ${CMAKE_BINARY_DIR}/package/debs
            ${CPACK_DEBIAN_PACKAGE_ARCHITECTURE})
  set_tests_properties(package_make_debs PROPERTIES FIXTURES_SETUP pmb_debs TIMEOUT 300)
  set_tests_properties(package_monitor_runs_from_unpacked_packages PROPERTIES
    FIXTURES_REQUIRED pmb_debs TIMEOUT 180)
endif()
