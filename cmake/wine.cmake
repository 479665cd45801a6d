# Every Windows test runs under Wine, in a prefix of this build's own
# (32-bit for the win32 preset, 64-bit for win64). scripts/wine.sh decides
# how a program runs on this host.
set(WINE_PREFIX_DIR ${CMAKE_BINARY_DIR}/wineprefix)
set(WINE_SCRIPT ${PROJECT_SOURCE_DIR}/scripts/wine.sh)
if(NOT WINE_ARCH)
  set(WINE_ARCH win32)
endif()
configure_file(${PROJECT_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE
               @ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run)

# Creating the prefix takes a while; do it once, before the first test. Tests
# labelled "wine" run programs; the rest only read the built files, and run
# on a host that cannot execute this build's programs too.
add_test(NAME wine_prefix COMMAND ${WINE_SCRIPT} prefix --warm ${WINE_PREFIX_DIR} ${WINE_ARCH})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix LABELS wine)
