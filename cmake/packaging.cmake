# What the packages hold, and CPack's settings (make dist).
#   Windows: the x64 build packs vesk-<version>-windows.zip with x64/ and, when
#   VESK_DIST_X86 names the x86 build's bin folder, x86/: each with the
#   library, the adapter and the three programs; the user guide (Markdown and
#   HTML), example configuration files, the licence and SHA256SUMS.
#   Linux: vesk_<version>_amd64.deb: /usr/lib/vesk holds the library, the
#   programs and the test bed (the programs load the library from their own
#   folder), /usr/bin links to them, the header, man pages from --help.
set(VESK_DIST_X86 "" CACHE PATH "x86 build's bin folder, packed beside x64 (Windows zip)")
set(_doc_sources ${PROJECT_SOURCE_DIR}/docs/user-guide.md ${PROJECT_SOURCE_DIR}/LICENSE)

if(VESK_WINDOWS)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_arch x64)
  else()
    set(_arch x86)
  endif()
  install(TARGETS vesk scci2vesk vesk_test vesk_tray vesk_play RUNTIME DESTINATION ${_arch}
          LIBRARY DESTINATION ${_arch})
  if(VESK_DIST_X86)
    # Copied as files, they are not stripped with the targets: done here.
    find_program(VESK_X86_STRIP i686-w64-mingw32-strip REQUIRED)
    foreach(f vesk.dll scci2vesk.dll vesk_test.exe vesk_tray.exe vesk_play.exe)
      install(FILES ${VESK_DIST_X86}/${f} DESTINATION x86)
      install(CODE "execute_process(COMMAND ${VESK_X86_STRIP} \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/x86/${f})")
    endforeach()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/examples/vesk_config.toml ${PROJECT_SOURCE_DIR}/docs/examples/scci2vesk.ini
          DESTINATION examples)
  install(FILES ${_doc_sources} DESTINATION .)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/images DESTINATION . OPTIONAL)
  # The guide as a page to open, and the sums of everything packed.
  install(CODE "
    set(_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    execute_process(COMMAND python3 ${PROJECT_SOURCE_DIR}/scripts/render_guide.py
                            ${PROJECT_SOURCE_DIR}/docs/user-guide.md \${_root}/user-guide.html
                    RESULT_VARIABLE _rc)
    if(NOT _rc EQUAL 0)
      message(FATAL_ERROR \"the user guide could not be rendered\")
    endif()
    file(GLOB_RECURSE _files RELATIVE \${_root} \${_root}/*)
    list(REMOVE_ITEM _files SHA256SUMS)
    list(SORT _files)
    set(_sums \"\")
    foreach(f \${_files})
      file(SHA256 \${_root}/\${f} _h)
      string(APPEND _sums \"\${_h}  \${f}\\n\")
    endforeach()
    file(WRITE \${_root}/SHA256SUMS \"\${_sums}\")
  ")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME vesk-${PROJECT_VERSION}-windows)
else()
  include(GNUInstallDirs)
  set(_lib lib/vesk)
  install(TARGETS vesk vesk_play vesk_test vesk_sim RUNTIME DESTINATION ${_lib} LIBRARY DESTINATION ${_lib})
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/testbed/testbed.sh DESTINATION ${_lib}/testbed)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/tools/testbed/topologies DESTINATION ${_lib}/testbed)
  install(FILES ${PROJECT_SOURCE_DIR}/include/vesk/vesk.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vesk)
  install(FILES ${_doc_sources} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/images DESTINATION ${CMAKE_INSTALL_DOCDIR} OPTIONAL)
  # Links in bin, and a man page per program made from its --help.
  install(CODE "
    set(_root \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    file(MAKE_DIRECTORY \${_root}/bin \${_root}/share/man/man1)
    foreach(p vesk_play vesk_test vesk_sim vesk_testbed)
      set(_target ../${_lib}/\${p})
      if(p STREQUAL vesk_testbed)
        set(_target ../${_lib}/testbed/testbed.sh)
      endif()
      file(CREATE_LINK \${_target} \${_root}/bin/\${p} SYMBOLIC)
      execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/make_man.sh \${_root}/bin/\${p} ${PROJECT_VERSION}
                      OUTPUT_FILE \${_root}/share/man/man1/\${p}.1 RESULT_VARIABLE _rc)
      if(NOT _rc EQUAL 0)
        message(FATAL_ERROR \"no man page for \${p}\")
      endif()
      execute_process(COMMAND gzip -9n -f \${_root}/share/man/man1/\${p}.1)
    endforeach()
  ")
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vesk developers <vesk@localhost>")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "sound chips on network boards\n vesk lets music software play real sound chips (OPN, OPL, OPM, PSG, SCC\n families) in the slots of small network boards over IPv6 link-local UDP:\n the library, a VGM player, a test program, a board simulator and its test\n bed.")
endif()
set(CPACK_PACKAGE_NAME vesk)
set(CPACK_PACKAGE_VENDOR vesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sound chips on network boards")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/dist)
set(CPACK_STRIP_FILES ON)
include(CPack)
