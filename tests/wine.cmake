# The tests of the Windows build, run under Wine. They share one Wine folder that the first test
# makes and the last removes.
set(QD_WINE_RUN ${CMAKE_CURRENT_SOURCE_DIR}/wine/wine-run)
set(QD_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine-prefix)

add_test(NAME wine.prefix.make
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh make ${QD_WINE_PREFIX})
set_tests_properties(wine.prefix.make PROPERTIES FIXTURES_SETUP wine TIMEOUT 180)
add_test(NAME wine.prefix.remove
         COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/prefix.sh remove ${QD_WINE_PREFIX})
set_tests_properties(wine.prefix.remove PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60)

add_test(NAME wine.unit_tests COMMAND ${QD_WINE_RUN} $<TARGET_FILE:qd_unit_tests>)
set_tests_properties(wine.unit_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "WINEPREFIX=${QD_WINE_PREFIX}" TIMEOUT 300)

