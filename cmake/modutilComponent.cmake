# modutil_add_component(<name> SOURCES <files...> DEF <file.def>)
#
# A shell component: <name>.dll (no "lib" prefix), exporting the plain names
# listed in the .def file (on 32-bit Windows the two __stdcall startup entries
# are linked to their decorated symbols), linked to modutil.dll, and with the
# C and C++ run-time libraries linked in, so that it needs no run-time DLL
# (MinGW's, or with Visual Studio the C run-time's).
function(modutil_add_component name)
  cmake_parse_arguments(ARG "" "DEF" "SOURCES" ${ARGN})
  if(NOT ARG_SOURCES OR NOT ARG_DEF)
    message(FATAL_ERROR "usage: modutil_add_component(<name> SOURCES <files...> DEF <file.def>)")
  endif()
  add_library(${name} SHARED ${ARG_SOURCES} ${ARG_DEF})
  target_link_libraries(${name} PRIVATE modutil::modutil)
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name})
  if(MINGW)
    target_link_options(${name} PRIVATE -static)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      target_link_options(${name} PRIVATE -Wl,--enable-stdcall-fixup)
    endif()
  elseif(MSVC)
    set_target_properties(${name} PROPERTIES MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  endif()
endfunction()
