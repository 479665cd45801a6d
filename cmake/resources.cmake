# add_version_resource(<target> "<description>")
#
# Compiles a version resource into the target's binary (FileVersion and
# ProductVersion from the project's version) with windres; an executable
# also gets its application manifest: Windows 7 to 11, asInvoker,
# per-monitor DPI awareness, Common Controls 6.
set(RESOURCE_PRODUCT "Brevant shell start-up")
set(RESOURCE_TEMPLATES ${CMAKE_CURRENT_LIST_DIR})

function(add_version_resource target description)
  # The top-level project's version, even where a subdirectory has a project of its own.
  set(RESOURCE_VERSION ${CMAKE_PROJECT_VERSION})
  set(RESOURCE_VERSION_COMMAS ${CMAKE_PROJECT_VERSION_MAJOR},${CMAKE_PROJECT_VERSION_MINOR},${CMAKE_PROJECT_VERSION_PATCH},0)
  get_target_property(type ${target} TYPE)
  get_target_property(RESOURCE_NAME ${target} OUTPUT_NAME)
  if(NOT RESOURCE_NAME)
    set(RESOURCE_NAME ${target})
  endif()
  set(RESOURCE_DESCRIPTION "${description}")
  set(RESOURCE_MANIFEST "")
  if(type STREQUAL "EXECUTABLE")
    set(RESOURCE_FILE ${RESOURCE_NAME}.exe)
    set(RESOURCE_FILE_TYPE VFT_APP)
    set(manifest ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest)
    configure_file(${RESOURCE_TEMPLATES}/app.manifest.in ${manifest} @ONLY)
    # 1 and 24: CREATEPROCESS_MANIFEST_RESOURCE_ID and RT_MANIFEST.
    set(RESOURCE_MANIFEST "1 24 \"${manifest}\"")
  else()
    set(RESOURCE_FILE ${RESOURCE_NAME}.dll)
    set(RESOURCE_FILE_TYPE VFT_DLL)
  endif()
  configure_file(${RESOURCE_TEMPLATES}/version.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.rc)
  if(RESOURCE_MANIFEST)
    # The resource compiler does not say it reads the manifest: a changed one must rebuild it.
    set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/${target}.rc PROPERTIES OBJECT_DEPENDS ${manifest})
  endif()
endfunction()
