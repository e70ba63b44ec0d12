# `cmake --install` puts down the host in bin/ and, in a folder of their own,
# the modules it loads and the shared libraries they link; the LV2 bundle
# (lv2/) in lib/lv2; and the desktop entry, icons, metainfo, manual page and
# copyright under share/. Tests, benchmarks, static libraries and headers are
# for the build tree only.
#
# RUNPATHs are $ORIGIN-relative, so the tree runs wherever it is unpacked,
# with no LD_LIBRARY_PATH and nothing from the build tree.

set(GLIMM_INSTALL_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/glimm)

set_target_properties(glimm-host PROPERTIES INSTALL_RPATH "$ORIGIN/${GLIMM_INSTALL_PRIVATE_RELDIR}")
set_target_properties(GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform-qt PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS glimm-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform glimm-platform-qt
        LIBRARY DESTINATION ${GLIMM_INSTALL_PRIVATE_DIR})
# The speech unit starts its synthesis process from its own folder.
install(TARGETS glimm-synthesis RUNTIME DESTINATION ${GLIMM_INSTALL_PRIVATE_DIR})

# DT_RUNPATH, not DT_RPATH: a user's LD_LIBRARY_PATH still comes first.
foreach(t glimm-host GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform-qt)
  target_link_options(${t} PRIVATE "LINKER:--enable-new-dtags")
endforeach()

# What the desktop, the software centre and man see. The manual page and the
# changelog are installed compressed, as Debian keeps them; -n leaves the
# time out of the gzip header, so the same source gives the same bytes.
set(GLIMM_DATA_DIR ${PROJECT_SOURCE_DIR}/data)
set(GLIMM_METAINFO_ID org.example.glimm.Glimm)
set(glimm_gzipped)
foreach(doc glimm-host.1 changelog)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/data/${doc}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/data
    COMMAND ${CMAKE_COMMAND} -E copy ${GLIMM_DATA_DIR}/${doc} ${PROJECT_BINARY_DIR}/data/${doc}
    COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/data/${doc}
    DEPENDS ${GLIMM_DATA_DIR}/${doc}
    VERBATIM)
  list(APPEND glimm_gzipped ${PROJECT_BINARY_DIR}/data/${doc}.gz)
endforeach()
add_custom_target(glimm_docs ALL DEPENDS ${glimm_gzipped})

install(FILES ${GLIMM_DATA_DIR}/glimm-host.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${GLIMM_DATA_DIR}/${GLIMM_METAINFO_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 48 64 128 256)
  install(FILES ${PROJECT_SOURCE_DIR}/Resources/icons/glimm-host-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME glimm-host.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/Resources/icons/glimm-host.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_BINARY_DIR}/data/glimm-host.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${GLIMM_DATA_DIR}/copyright ${PROJECT_BINARY_DIR}/data/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/glimm)
