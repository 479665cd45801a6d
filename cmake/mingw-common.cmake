# Shared by the MinGW-w64 toolchain files, which set MINGW_TRIPLE, the
# processor and WINE_ARCH first.
#
# clang compiles for the MinGW-w64 target and lld links, so every binary gets
# CodeView debug information in a PDB beside it, which the platform's
# debuggers load for a crash dump. The headers, import libraries and C++
# runtime are MinGW-w64's and GCC's (the posix thread model, which GoogleTest
# needs); Debian's GCC names its directory "<version>-posix", which clang does
# not find by itself, so it is asked of GCC and given to clang.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET   ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_RC_COMPILER  ${MINGW_TRIPLE}-windres)
set(CMAKE_OBJDUMP      ${MINGW_TRIPLE}-objdump) # the PE checks read its output
set(CMAKE_FIND_ROOT_PATH /usr/${MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH) # an SDK installed anywhere

execute_process(COMMAND ${MINGW_TRIPLE}-gcc-posix -print-libgcc-file-name
                OUTPUT_VARIABLE MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(MINGW_GCC_DIR ${MINGW_LIBGCC} DIRECTORY)
set(MINGW_CXX_INCLUDE ${MINGW_GCC_DIR}/include/c++)
# -B: GCC's crtbegin.o and crtend.o, which register the DWARF unwind tables
# 32-bit C++ exceptions need. -lpthread: the posix C++ runtime needs it,
# clang does not add it, and lld takes it in any position.
set(CMAKE_CXX_FLAGS_INIT "-stdlib++-isystem ${MINGW_CXX_INCLUDE} -stdlib++-isystem ${MINGW_CXX_INCLUDE}/${MINGW_TRIPLE} -stdlib++-isystem ${MINGW_CXX_INCLUDE}/backward")
set(MINGW_LINKER_FLAGS "-fuse-ld=lld -B${MINGW_GCC_DIR} -L${MINGW_GCC_DIR} -lpthread")
set(CMAKE_EXE_LINKER_FLAGS_INIT    ${MINGW_LINKER_FLAGS})
set(CMAKE_SHARED_LINKER_FLAGS_INIT ${MINGW_LINKER_FLAGS})
set(CMAKE_MODULE_LINKER_FLAGS_INIT ${MINGW_LINKER_FLAGS})
