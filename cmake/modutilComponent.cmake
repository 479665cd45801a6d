# modutil_add_component(<name> SOURCES <files...> DEF <file.def>)
#
# A shell component: <name>.dll (no "lib" prefix), exporting the plain names
# listed in the .def file (on 32-bit Windows the two __stdcall startup entries
# are linked to their decorated symbols), linked to modutil.dll, and with the
# C and C++ run-time libraries linked in, so that it needs no run-time DLL
# (MinGW's, or with Visual Studio the C run-time's), and with its PDB beside it.
include(${CMAKE_CURRENT_LIST_DIR}/modutilSigning.cmake)

function(modutil_add_component name)
  cmake_parse_arguments(ARG "" "DEF" "SOURCES" ${ARGN})
  if(NOT ARG_SOURCES OR NOT ARG_DEF)
    message(FATAL_ERROR "usage: modutil_add_component(<name> SOURCES <files...> DEF <file.def>)")
  endif()
  add_library(${name} SHARED ${ARG_SOURCES} ${ARG_DEF})
  target_link_libraries(${name} PRIVATE modutil::modutil)
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  modutil_add_symbols(${name})
  if(MINGW)
    target_link_options(${name} PRIVATE -static)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
  elseif(MSVC)
    set_target_properties(${name} PROPERTIES MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  endif()
  # After the strip above: a signature covers the final file.
  modutil_sign_commands(sign $<TARGET_FILE:${name}>)
  if(sign)
    add_custom_command(TARGET ${name} POST_BUILD ${sign} VERBATIM)
  endif()
endfunction()

# modutil_add_symbols(<target>): a PDB beside <target>'s binary, named in its
# debug directory by file name only, which the platform's debuggers load for a
# crash dump. It takes clang with lld (the SDK's toolchain) or Visual Studio,
# for C, C++ or both; GCC's linker writes no PDB.
function(modutil_add_symbols target)
  # A project of C alone has no C++ compiler to ask.
  set(clang FALSE)
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  foreach(language IN ITEMS C CXX)
    if(language IN_LIST languages AND CMAKE_${language}_COMPILER_ID MATCHES "Clang")
      set(clang TRUE)
    endif()
  endforeach()
  if(MSVC)
    target_compile_options(${target} PRIVATE /Zi)
    target_link_options(${target} PRIVATE /DEBUG /OPT:REF /OPT:ICF /PDBALTPATH:%_PDB%)
  elseif(MINGW AND clang)
    target_compile_options(${target} PRIVATE -g -gcodeview)
    target_link_options(${target} PRIVATE -fuse-ld=lld -Wl,--pdb= -Wl,-Xlink=-pdbaltpath:%_PDB%)
    # lld keeps the DWARF that MinGW's static libraries carry; the PDB has
    # what a debugger needs, and the debug directory survives the strip.
    add_custom_command(TARGET ${target} POST_BUILD COMMAND ${CMAKE_STRIP} --strip-debug $<TARGET_FILE:${target}>)
  endif()
endfunction()
