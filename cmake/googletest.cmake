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

# add_gtest(name sources... [LIBS libs...] [SERIAL]): one test executable,
# registered with CTest as one test. SERIAL marks tests that use the shell's
# global kernel object names; they never run at the same time as each other.
function(add_gtest name)
  cmake_parse_arguments(ARG "SERIAL" "" "LIBS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main)
  if(WIN32)
    target_compile_options(${name} PRIVATE -fexceptions -frtti)
    target_link_options(${name} PRIVATE -static)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine_prefix LABELS wine)
  endif()
  if(ARG_SERIAL)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK shell_named_objects)
  endif()
endfunction()
