# `cmake --install` puts down the host in bin/ and, in a folder of their own,
# the modules it loads and the shared libraries they link. Tests, benchmarks,
# static libraries and headers are for the build tree only.
#
# RUNPATHs are $ORIGIN-relative, so the tree runs wherever it is unpacked,
# with no LD_LIBRARY_PATH and nothing from the build tree.

set(GLIMM_INSTALL_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/glimm)

set_target_properties(glimm-host PROPERTIES INSTALL_RPATH "$ORIGIN/${GLIMM_INSTALL_PRIVATE_RELDIR}")
set_target_properties(GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform-qt PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS glimm-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform glimm-platform-qt
        LIBRARY DESTINATION ${GLIMM_INSTALL_PRIVATE_DIR})

# DT_RUNPATH, not DT_RPATH: a user's LD_LIBRARY_PATH still comes first.
foreach(t glimm-host GlimmSpeechUnit AUGlimm3CocoaUI glimm-platform-qt)
  target_link_options(${t} PRIVATE "LINKER:--enable-new-dtags")
endforeach()
