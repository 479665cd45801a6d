# The SDK: `cmake --install` lays out bin/ (launcher.exe, componentcheck.exe, modutil.dll),
# include/ (modutil.h, shellcomponent.h), lib/ (the MinGW import library, an
# MSVC-style modutil.lib, and the CMake package for find_package(modutil)).
# `cpack` zips that tree.
include(CMakePackageConfigHelpers)

install(TARGETS launcher componentcheck RUNTIME DESTINATION bin)
install(TARGETS modutil EXPORT modutilTargets
        RUNTIME DESTINATION bin
        ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/modutil/include/modutil.h
              ${PROJECT_SOURCE_DIR}/launcher/include/shellcomponent.h
        DESTINATION include)
install(EXPORT modutilTargets NAMESPACE modutil:: DESTINATION lib/cmake/modutil)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/modutilConfig.cmake.in
  ${CMAKE_BINARY_DIR}/modutilConfig.cmake INSTALL_DESTINATION lib/cmake/modutil)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/modutilConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/modutilConfig.cmake ${CMAKE_BINARY_DIR}/modutilConfigVersion.cmake
        DESTINATION lib/cmake/modutil)

# An import library for Microsoft's linker, made from the same .def file.
find_program(LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 PATHS /usr/lib/llvm-14/bin)
if(LLVM_DLLTOOL)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(DLLTOOL_MACHINE i386)
  else()
    set(DLLTOOL_MACHINE i386:x86-64)
  endif()
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/modutil.lib
    COMMAND ${LLVM_DLLTOOL} -m ${DLLTOOL_MACHINE} -d ${PROJECT_SOURCE_DIR}/modutil/modutil.def
            -l ${CMAKE_BINARY_DIR}/modutil.lib
    DEPENDS ${PROJECT_SOURCE_DIR}/modutil/modutil.def)
  add_custom_target(modutil_msvc_lib ALL DEPENDS ${CMAKE_BINARY_DIR}/modutil.lib)
  install(FILES ${CMAKE_BINARY_DIR}/modutil.lib DESTINATION lib)
endif()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME shell-startup)
set(CPACK_PACKAGE_FILE_NAME shell-startup-${PROJECT_VERSION}-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

add_test(NAME sdk_package
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-sdk.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                 ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_OBJDUMP})
