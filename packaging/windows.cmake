# Windows: `ninja windows_zip` packs the deliverables with INSTALL.TXT into
# kvtftp-2.0.0-win32.zip (or -win64) in the build directory.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(KV_ZIP_NAME kvtftp-2.0.0-win32.zip)
else()
  set(KV_ZIP_NAME kvtftp-2.0.0-win64.zip)
endif()
add_custom_target(windows_zip
  COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/windows-zip.sh ${CMAKE_BINARY_DIR}
             ${CMAKE_BINARY_DIR}/${KV_ZIP_NAME}
  VERBATIM)
add_dependencies(windows_zip kvtftptsv kvtftpclidll kvtftpasc kvtftpsvc kvsetup kvprobe kvtftpcli
                 kvtftpcpl)
