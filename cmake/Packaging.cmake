# Release packaging: `cmake --build --preset windows-mingw --target package`
# makes build/windows/telemetry-relay-<version>-windows-x64.zip holding
# telemetry-relay.exe, relay-web.exe, relay-watch.exe, sim-publisher.exe,
# relay-mqtt.exe (with RELAY_MQTT) and README.md, each program a single file. Included at the end of the top-level
# CMakeLists.txt, after the targets exist.
#
# Everything goes into the "relay" install component and only that component
# is packed, so install rules of bundled dependencies (GoogleTest installs its
# headers and libraries by default) never end up in the release.

if(WIN32)
  set(RELAY_BIN_DIR .)
  set(RELAY_DOC_DIR .)
  set(RELAY_PACKAGE_SYSTEM windows-x64)
else()
  include(GNUInstallDirs)
  set(RELAY_BIN_DIR ${CMAKE_INSTALL_BINDIR})
  set(RELAY_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(RELAY_PACKAGE_SYSTEM ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()

install(TARGETS telemetry-relay relay-web relay-watch sim-publisher
        RUNTIME DESTINATION ${RELAY_BIN_DIR} COMPONENT relay)
if(TARGET relay-mqtt)
  install(TARGETS relay-mqtt RUNTIME DESTINATION ${RELAY_BIN_DIR} COMPONENT relay)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${RELAY_DOC_DIR} COMPONENT relay)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-${RELAY_PACKAGE_SYSTEM})
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL relay)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
include(CPack)
