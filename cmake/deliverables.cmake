# File names and exports of the deliverables.

# Names a deliverable by its Windows file name (KVTFTPTSV.DLL, KVPROBE.EXE): so on
# Windows; elsewhere lower case, with .DLL becoming .so and .EXE dropped (.CPL stays).
# DESCRIPTION (and COMMENT) give a Windows build its version resource.
function(kv_deliverable target file)
  cmake_parse_arguments(ARG "" "DESCRIPTION;COMMENT" "" ${ARGN})
  if(ARG_DESCRIPTION OR ARG_COMMENT)
    kv_version_resource(${target} ${file} "${ARG_DESCRIPTION}" COMMENT "${ARG_COMMENT}")
  endif()
  string(REGEX MATCH "\\.[^.]+$" ext "${file}")
  string(REGEX REPLACE "\\.[^.]+$" "" stem "${file}")
  if(NOT WIN32)
    string(TOLOWER "${stem}" stem)
    string(TOLOWER "${ext}" ext)
    if(ext STREQUAL ".dll")
      set(ext ".so")
    elseif(ext STREQUAL ".exe")
      set(ext "")
    endif()
  endif()
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME "${stem}" SUFFIX "${ext}")
endfunction()

# Exports a library's entry points by their plain names and nothing else: on Windows
# through its .def file, elsewhere through hidden visibility (and, when given, a version
# script that also keeps the inlined standard library out).
function(kv_library_exports target def_file)
  cmake_parse_arguments(ARG "" "VERSION_SCRIPT" "" ${ARGN})
  if(WIN32)
    target_sources(${target} PRIVATE ${def_file})
    # i686 decorates __stdcall names (_Name@N); the .def file's plain names bind to them.
    target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup)
  else()
    target_link_options(${target} PRIVATE -Wl,--no-undefined)
    if(ARG_VERSION_SCRIPT)
      target_link_options(${target} PRIVATE -Wl,--version-script=${ARG_VERSION_SCRIPT})
      set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${ARG_VERSION_SCRIPT})
    endif()
  endif()
endfunction()

# The version resource of a Windows deliverable: file version 1.0.0.0, product version
# 2.0.0.0, the description (and comment) given. Nothing elsewhere.
function(kv_version_resource target file description)
  cmake_parse_arguments(ARG "" "COMMENT" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  set(KV_VR_FILE ${file})
  set(KV_VR_DESCRIPTION "${description}")
  set(KV_VR_COMMENT "${ARG_COMMENT}")
  string(REGEX REPLACE "\\.[^.]+$" "" KV_VR_STEM "${file}")
  if(file MATCHES "\\.EXE$")
    set(KV_VR_TYPE VFT_APP)
  else()
    set(KV_VR_TYPE VFT_DLL)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
