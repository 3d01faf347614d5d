# Deployment checks: the systemd unit, the pin-access helper and the Debian package.

# A copy of the unit whose commands point into the build, so systemd-analyze can
# check that they exist.
set(PELKO_BINDIR $<TARGET_FILE_DIR:pelko>)
set(PELKO_LIBEXECDIR ${PROJECT_SOURCE_DIR}/packaging)
file(READ ${PROJECT_SOURCE_DIR}/packaging/pelko.service PELKO_UNIT_TEXT)
string(CONFIGURE "${PELKO_UNIT_TEXT}" PELKO_UNIT_TEXT @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko.service CONTENT "${PELKO_UNIT_TEXT}")

add_test(NAME packaging.UnitPassesSystemdVerify
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh unit ${CMAKE_CURRENT_BINARY_DIR}/unit-check/pelko.service)
add_test(NAME packaging.GpioAccessHelperExportsAndGrantsThePin
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh gpio ${PROJECT_SOURCE_DIR}/packaging/pelko-gpio-access)
add_test(NAME packaging.DebianPackageHoldsBinaryUnitAndConfiguration
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/check-packaging.sh deb ${PROJECT_BINARY_DIR} ${PELKO_DEB_ARCH})
set_tests_properties(packaging.UnitPassesSystemdVerify PROPERTIES SKIP_RETURN_CODE 77 LABELS packaging)
set_tests_properties(packaging.GpioAccessHelperExportsAndGrantsThePin PROPERTIES LABELS packaging)
set_tests_properties(packaging.DebianPackageHoldsBinaryUnitAndConfiguration PROPERTIES
                     SKIP_RETURN_CODE 77 LABELS packaging TIMEOUT 300 RUN_SERIAL TRUE)
