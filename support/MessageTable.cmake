# Message tables: kv_message_table(<target> <mc-file>) builds the messages of the .mc
# file into <target>. On Windows windmc compiles them into a message-table resource
# (language 1033), which windres links into the module. On Linux the host tool kvmc turns them into a generated source that
# places a Windows message-table resource's bytes in the ELF section "kvmsgtbl", which
# kvp::FormatModuleMessage reads from the module file.
if(NOT CMAKE_CROSSCOMPILING)
  add_executable(kvmc ${CMAKE_CURRENT_LIST_DIR}/kvmc.cpp)
  set_target_properties(kvmc PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/host)
  target_include_directories(kvmc PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../platform/common
                                          ${CMAKE_CURRENT_LIST_DIR}/../platform/include)
endif()

function(kv_message_table target mc_file)
  get_filename_component(mc ${mc_file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  get_filename_component(mc_name ${mc} NAME)
  if(WIN32)
    get_filename_component(mc_stem ${mc} NAME_WE)
    set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_msgtbl)
    add_custom_command(OUTPUT ${dir}/${mc_stem}.rc ${dir}/${mc_stem}.h
      COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
      COMMAND ${KV_WINDMC} -h ${dir} -r ${dir} -b ${mc}
      DEPENDS ${mc}
      COMMENT "Message table of ${target} from ${mc_name}"
      VERBATIM)
    target_sources(${target} PRIVATE ${dir}/${mc_stem}.rc)
    # windres finds the table's .bin files beside the generated script.
    target_include_directories(${target} PRIVATE ${dir})
    return()
  endif()
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${target}_msgtbl.cpp)
  add_custom_command(OUTPUT ${out}
    COMMAND kvmc ${mc} ${out}
    DEPENDS kvmc ${mc}
    COMMENT "Message table of ${target} from ${mc_name}"
    VERBATIM)
  target_sources(${target} PRIVATE ${out})
endfunction()
