# The tests of the Windows build, run under Wine: the unit tests, the comparison of the INI
# readers of both platforms on tests/ini-corpus/, the release zip, and qd-server.exe on the test
# network. All but the last share one Wine folder that the first test makes and the last
# removes.
set(QD_WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-run)
set(QD_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)
set(QD_NATIVE_BUILD_DIR "${PROJECT_SOURCE_DIR}/build/debug" CACHE PATH
    "Build folder of the Linux programs (the native ini_dump)")

add_test(NAME wine.prefix.make
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh make ${QD_WINE_PREFIX})
set_tests_properties(wine.prefix.make PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
add_test(NAME wine.prefix.remove
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh remove ${QD_WINE_PREFIX})
set_tests_properties(wine.prefix.remove PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

add_test(NAME wine.unit_tests COMMAND ${QD_WINE_RUN} $<TARGET_FILE:qd_unit_tests>)
set_tests_properties(wine.unit_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${QD_WINE_PREFIX}" TIMEOUT 300)

# The INI readers of Linux and Windows give the same for every key of every corpus file.
add_test(NAME wine.ini_readers_agree
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/compare-ini.sh
                 ${QD_NATIVE_BUILD_DIR}/tests/ini_dump $<TARGET_FILE:ini_dump>
                 ${CMAKE_CURRENT_SOURCE_DIR}/ini-corpus)
set_tests_properties(wine.ini_readers_agree PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${QD_WINE_PREFIX}" TIMEOUT 300)

# qd-server.exe on the test network, driven by the Linux test program qd_wine_tests; it makes
# a Wine folder of its own on the server's side of the network.
add_test(NAME wine.server_on_test_network COMMAND ${QD_NATIVE_BUILD_DIR}/tests/qd_wine_tests)
set_tests_properties(wine.server_on_test_network PROPERTIES
  ENVIRONMENT "QD_WINDOWS_SERVER_EXE=$<TARGET_FILE:qd-server>;QD_WINE_RUN=${QD_WINE_RUN}"
  TIMEOUT 600)

# The release zip: its files, and its qd-server.exe running from the unpacked folder.
set(QD_PACKAGED qd-server.exe qd-server.ini D718226B.upk README.md)
if(TARGET qd-devsim)
  list(APPEND QD_PACKAGED qd-devsim.exe)
endif()
add_test(NAME wine.package_zip
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-package.sh
                 ${CMAKE_BINARY_DIR} ${QD_PACKAGE_ZIP} ${QD_PACKAGED})
set_tests_properties(wine.package_zip PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${QD_WINE_PREFIX}" TIMEOUT 300)
