# GoogleTest from Debian's source package, built with the project's own
# compiler (the cross compiler for Windows builds) and linked statically.
set(GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
if(WIN32)
  # GoogleTest needs exceptions; the project's own code is built without.
  target_compile_options(gtest PRIVATE -fexceptions -w)
  target_compile_options(gtest_main PRIVATE -fexceptions -w)
endif()
include(GoogleTest)

# add_gtest(name sources... [LIBS libs...] [SERIAL group] [TIMEOUT seconds]): one
# test executable, each of whose TESTs is a CTest entry of its own
# ("<name>.<Suite>.<Test>"), so that ctest -j spreads them. The TESTs are
# found in the sources when CMake configures, never by running the program:
# a build whose programs this host cannot run lists them all the same.
# SERIAL marks tests that use the shell's global kernel object names or the
# Wine prefix's Shell value: they run in the group's own prefix, one at a
# time (use_wine_prefix).
# Every Windows test program has the UTF-8 active code page, as the shipped
# programs do: its 8-bit text is UTF-8, whatever folder it runs from.
function(add_gtest name)
  cmake_parse_arguments(ARG "" "SERIAL;TIMEOUT" "LIBS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
  if(WIN32)
    target_compile_options(${name} PRIVATE -fexceptions -frtti)
    target_link_options(${name} PRIVATE -static)
    target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/utf8.rc ${PROJECT_SOURCE_DIR}/tests/crash_note.cpp)
    set_source_files_properties(${PROJECT_SOURCE_DIR}/tests/utf8.rc PROPERTIES
                                OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/tests/utf8.manifest)
  endif()
  gtest_add_tests(TARGET ${name} SOURCES ${ARG_UNPARSED_ARGUMENTS} TEST_PREFIX "${name}." TEST_LIST tests
                  EXTRA_ARGS --gtest_brief=1)
  set_tests_properties(${tests} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(WIN32)
    set_tests_properties(${tests} PROPERTIES FIXTURES_REQUIRED wine_prefix LABELS wine)
  endif()
  if(ARG_SERIAL)
    use_wine_prefix(${ARG_SERIAL} ${tests})
  endif()
endfunction()
