# Deployment checks: the systemd units, the pin-access helper, the Debian package
# and, where systemd runs the machine, the package installed and run as a service.

# A copy of the unit whose commands point into the build, so systemd-analyze can
# check that they exist.
set(PELKO_BINDIR $<TARGET_FILE_DIR:pelko>)
set(PELKO_LIBEXECDIR ${PROJECT_SOURCE_DIR}/packaging)
include(${PROJECT_SOURCE_DIR}/packaging/template-unit.cmake)
file(READ ${PROJECT_SOURCE_DIR}/packaging/pelko.service PELKO_UNIT_TEXT)
pelko_template_unit("${PELKO_UNIT_TEXT}" PELKO_TEMPLATE_TEXT)
string(CONFIGURE "${PELKO_UNIT_TEXT}" PELKO_UNIT_TEXT @ONLY)
string(CONFIGURE "${PELKO_TEMPLATE_TEXT}" PELKO_TEMPLATE_TEXT @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko.service CONTENT "${PELKO_UNIT_TEXT}")
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko@.service CONTENT "${PELKO_TEMPLATE_TEXT}")

add_test(NAME packaging.UnitsPassSystemdVerify
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh unit ${PROJECT_BINARY_DIR}/packaging/pelko.8.gz
                 ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko.service ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko@.service)
# The helper runs the gateway as a program; in a cross-build, under the
# build's emulator (qemu-user), through a wrapper.
set(PELKO_HELPER_GATEWAY $<TARGET_FILE:pelko>)
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " PELKO_EMULATOR_COMMAND)
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/pelko-emulated
       CONTENT "#!/bin/sh\nexec ${PELKO_EMULATOR_COMMAND} $<TARGET_FILE:pelko> \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(PELKO_HELPER_GATEWAY ${CMAKE_CURRENT_BINARY_DIR}/pelko-emulated)
endif()
add_test(NAME packaging.GpioAccessHelperGrantsOnlyWhatTheLineNeeds
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh gpio ${PROJECT_SOURCE_DIR}/packaging/pelko-gpio-access
                 ${PELKO_HELPER_GATEWAY})
add_test(NAME packaging.DebianPackageHoldsBinaryUnitAndConfiguration
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh deb ${PROJECT_BINARY_DIR} ${PELKO_DEB_ARCH})
add_test(NAME packaging.DeployedServiceIsReadyWatchedAndRestarted
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh deployed ${PROJECT_BINARY_DIR})
set_tests_properties(packaging.UnitsPassSystemdVerify PROPERTIES SKIP_RETURN_CODE 77 LABELS packaging)
set_tests_properties(packaging.DeployedServiceIsReadyWatchedAndRestarted PROPERTIES
                     SKIP_RETURN_CODE 77 LABELS packaging TIMEOUT 300 RUN_SERIAL TRUE)
set_tests_properties(packaging.GpioAccessHelperGrantsOnlyWhatTheLineNeeds PROPERTIES LABELS packaging)
set_tests_properties(packaging.DebianPackageHoldsBinaryUnitAndConfiguration PROPERTIES
                     SKIP_RETURN_CODE 77 LABELS packaging TIMEOUT 300 RUN_SERIAL TRUE)
