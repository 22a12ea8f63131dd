# File names and exports of the deliverables.

# Names a deliverable by its Windows file name (KVTFTPTSV.DLL, KVPROBE.EXE): so on
# Windows; elsewhere lower case, with .DLL becoming .so and .EXE dropped (.CPL stays).
function(kv_deliverable target file)
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
