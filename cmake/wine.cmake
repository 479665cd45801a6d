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

# Creating a prefix takes a while; each is made once, before the first test
# that uses it. Tests labelled "wine" run programs; the rest only read the
# built files, and run on a host that cannot execute this build's programs too.
# Every prefix of the build is a copy of one template, made once.
set(WINE_PREFIX_TEMPLATE ${WINE_PREFIX_DIR}-template)
add_test(NAME wine_prefix COMMAND ${WINE_SCRIPT} prefix --warm ${WINE_PREFIX_DIR} ${WINE_ARCH})
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix LABELS wine
                                            ENVIRONMENT WINE_PREFIX_TEMPLATE=${WINE_PREFIX_TEMPLATE})

# Tests that start the launcher share its global object names, and tests
# that set the Shell value share the registry: within a prefix they never run
# at the same time. Each group gets a prefix of its own (shell: the build's
# own prefix), so that the groups run side by side.
#   use_wine_prefix(<group> [INSPECTS] <tests...>)
# INSPECTS: tests that inspect files on any host and run programs only where
# the host can: no "wine" label, and they make the prefix themselves.
function(use_wine_prefix group)
  cmake_parse_arguments(ARG "INSPECTS" "" "" ${ARGN})
  if(group STREQUAL shell)
    set(prefix ${WINE_PREFIX_DIR})
    set(setup wine_prefix)
  else()
    set(prefix ${WINE_PREFIX_DIR}-${group})
    set(setup wine_prefix_${group})
    # if(TEST) sees only the current directory's tests: remember the groups made.
    get_property(made GLOBAL PROPERTY WINE_PREFIX_GROUPS)
    if(NOT group IN_LIST made)
      set_property(GLOBAL APPEND PROPERTY WINE_PREFIX_GROUPS ${group})
      add_test(NAME ${setup} COMMAND ${WINE_SCRIPT} prefix --warm ${prefix} ${WINE_ARCH})
      set_tests_properties(${setup} PROPERTIES FIXTURES_SETUP ${setup} LABELS wine
                                               ENVIRONMENT WINE_PREFIX_TEMPLATE=${WINE_PREFIX_TEMPLATE})
    endif()
  endif()
  set_tests_properties(${ARG_UNPARSED_ARGUMENTS} PROPERTIES RESOURCE_LOCK wine_prefix_${group}
                                                          ENVIRONMENT WINE_RUN_PREFIX=${prefix})
  if(NOT ARG_INSPECTS)
    set_tests_properties(${ARG_UNPARSED_ARGUMENTS} PROPERTIES FIXTURES_REQUIRED ${setup} LABELS wine)
  endif()
endfunction()
