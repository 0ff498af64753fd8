# Installation beyond the library's own files, the Debian package, and the test that a
# project can be built against an installed copy.
#
# Consumers write #include <smbaudit/context/smb_context.h>: include/ is on their include
# path. include/smbaudit is on it too, because the library's headers include each other as
# "events/output.h", which also keeps that older form working for consumers.

# smbaudit.pc finds its prefix from its own place: ${pcfiledir} up through the library folder.
file(RELATIVE_PATH SMBAUDIT_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" SMBAUDIT_PC_TO_PREFIX "${SMBAUDIT_PC_TO_PREFIX}")
configure_file(cmake/smbaudit.pc.in ${CMAKE_CURRENT_BINARY_DIR}/smbaudit.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/smbaudit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(SMBAUDIT_TOOLS)
  install(FILES docs/smbaudit.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The unit names /usr/bin/smbaudit, where the Debian package puts the sensor.
  install(FILES packaging/smbaudit@.service DESTINATION lib/systemd/system)
  install(FILES packaging/smbaudit.logrotate DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

set(CPACK_PACKAGE_NAME smbaudit)
set(CPACK_PACKAGE_VENDOR "smbaudit")
set(CPACK_PACKAGE_CONTACT "smbaudit maintainers <smbaudit@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "passive SMB1/CIFS audit sensor and library")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # libpcap, hiredis, libstdc++ from the binaries
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "logrotate")
include(CPack)

if(SMBAUDIT_TESTS AND SMBAUDIT_TOOLS)
  add_test(NAME smbaudit_installed_consumer
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/package/consumer_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  add_test(NAME smbaudit_debian_package
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/tests/package/deb_test.sh ${CMAKE_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  set_tests_properties(smbaudit_debian_package PROPERTIES SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endif()
