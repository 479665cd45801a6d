# The SDK of this build's bitness, laid out by `cmake --install` (scripts/sdk.sh,
# `make sdk`):
#   bin/        launcher.exe, shellwatch.exe, componentcheck.exe, shellctl.exe,
#               modutil.dll, and the PDB of each
#   include/    modutil.h, shellcomponent.h
#   lib/        libmodutil.dll.a (MinGW), modutil.lib (Microsoft's linker),
#               cmake/modutil/ for find_package(modutil), installer/ the
#               custom action of modutil_add_installer's packages
#   toolchain/  the MinGW-w64 toolchain file these were built with
#   sample/     the sample components with their CMakeLists.txt
#   wine-run, tools/wine.sh  runs the SDK's programs under Wine on Linux
#   README.md   for authors: the contract, the checker, CMake and Visual Studio
include(CMakePackageConfigHelpers)

install(TARGETS launcher shellwatch componentcheck shellctl RUNTIME DESTINATION bin)
# Each binary's PDB beside it: the debuggers' symbols for a crash dump.
foreach(target launcher shellwatch componentcheck shellctl modutil)
  install(FILES $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb DESTINATION bin)
endforeach()
install(TARGETS modutil EXPORT modutilTargets
        RUNTIME DESTINATION bin
        ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/modutil/include/modutil.h
              ${PROJECT_SOURCE_DIR}/hosting/include/shellcomponent.h
        DESTINATION include)
install(EXPORT modutilTargets NAMESPACE modutil:: DESTINATION lib/cmake/modutil)

install(FILES ${PROJECT_SOURCE_DIR}/cmake/sdk-README.md DESTINATION . RENAME README.md)
install(FILES ${PROJECT_SOURCE_DIR}/docs/modutil.md DESTINATION .)
# The sample, as the author of this SDK's bitness starts from it: its
# CMakeLists.txt names this SDK's own toolchain file, and the block that
# matters only inside this project is left out.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SDK_BITNESS 64)
else()
  set(SDK_BITNESS 32)
endif()
get_filename_component(SDK_TOOLCHAIN ${CMAKE_TOOLCHAIN_FILE} NAME)
file(READ ${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt sample_cmake)
string(REGEX REPLACE "\n# ---- Inside this project only.*$" "\n" sample_cmake "${sample_cmake}")
string(REGEX REPLACE "^# Sample components:[^\n]*\n#[^\n]*\n#[^\n]*\n"
       "# Sample components: templates you copy. ${SDK_BITNESS}-bit, for a ${SDK_BITNESS}-bit launcher; from the SDK's folder:\n#   cmake -S sample -B build --toolchain toolchain/${SDK_TOOLCHAIN} -DCMAKE_PREFIX_PATH=\$PWD\n"
       sample_cmake "${sample_cmake}")
file(WRITE ${CMAKE_BINARY_DIR}/sdk-sample/CMakeLists.txt "${sample_cmake}")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION sample PATTERN CMakeLists.txt EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/sdk-sample/CMakeLists.txt ${PROJECT_SOURCE_DIR}/docs/images/sample-desktop.png
        DESTINATION sample)

# For authors who cross-compile on Linux: the build's own way to run a
# Windows program, and a front door to it for this bitness.
configure_file(${PROJECT_SOURCE_DIR}/cmake/sdk-wine-run.in ${CMAKE_BINARY_DIR}/sdk-wine-run @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/sdk-wine-run DESTINATION . RENAME wine-run)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/scripts/wine.sh DESTINATION tools)

install(FILES ${CMAKE_TOOLCHAIN_FILE} ${PROJECT_SOURCE_DIR}/cmake/mingw-common.cmake DESTINATION toolchain)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/modutilConfig.cmake.in
  ${CMAKE_BINARY_DIR}/modutilConfig.cmake INSTALL_DESTINATION lib/cmake/modutil)
# The architecture is checked by modutilConfig.cmake, with a plain message.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/modutilConfigVersion.cmake
  COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${CMAKE_BINARY_DIR}/modutilConfig.cmake ${CMAKE_BINARY_DIR}/modutilConfigVersion.cmake
              ${PROJECT_SOURCE_DIR}/cmake/modutilComponent.cmake ${PROJECT_SOURCE_DIR}/cmake/modutilSigning.cmake
              ${PROJECT_SOURCE_DIR}/cmake/modutilInstaller.cmake
        DESTINATION lib/cmake/modutil)
# The installer packages' custom action (modutil_add_installer).
install(FILES $<TARGET_FILE:shellctl_action> DESTINATION lib/installer)

# An import library for Microsoft's linker, made from the same .def file.
find_program(LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
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

find_program(LLVM_PDBUTIL NAMES llvm-pdbutil llvm-pdbutil-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
# The SDK is laid out once, as `make sdk` does, for the tests that read it
# (the build directory is named after its preset).
get_filename_component(preset ${CMAKE_BINARY_DIR} NAME)
add_test(NAME sdk_layout COMMAND ${PROJECT_SOURCE_DIR}/scripts/sdk.sh --preset ${preset} ${CMAKE_BINARY_DIR}/sdk-layout)
set_tests_properties(sdk_layout PROPERTIES FIXTURES_SETUP sdk_layout TIMEOUT 300)
add_test(NAME sdk_package
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-sdk.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR}
                 ${CMAKE_OBJDUMP} ${LLVM_PDBUTIL})
# It runs the SDK's programs where the host runs the build's programs at all;
# what it inspects runs on any host.
set_tests_properties(sdk_package PROPERTIES TIMEOUT 300)
use_wine_prefix(run INSPECTS sdk_package)
# The packages are built once; their installs set and restore the Shell
# values, in two prefixes of their own, side by side.
add_test(NAME installer_packages
         COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-installer.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} packages)
set_tests_properties(installer_packages PROPERTIES FIXTURES_SETUP installer_packages)
foreach(part lifecycle removals)
  add_test(NAME installer_${part}
           COMMAND ${PROJECT_SOURCE_DIR}/scripts/test-installer.sh ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${part})
  set_tests_properties(installer_${part} PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED installer_packages COST 90)
  use_wine_prefix(installer_${part} INSPECTS installer_${part})
endforeach()
# The longest start first: CTest has no times of its own on a fresh build.
set_tests_properties(sdk_package installer_packages PROPERTIES FIXTURES_REQUIRED sdk_layout COST 100)
