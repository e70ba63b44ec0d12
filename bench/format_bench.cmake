# The CLAP and VST3 plug-ins' process() against the voice rendered directly.
add_executable(bench_format_process ${CMAKE_CURRENT_LIST_DIR}/format_process.cpp ${CMAKE_CURRENT_LIST_DIR}/voicebench.h)
target_compile_definitions(bench_format_process PRIVATE GLIMM_CLAP_PATH="$<TARGET_FILE:glimm_clap>"
                                                        GLIMM_VST3_BUNDLE="${CMAKE_BINARY_DIR}/vst3/Glimm.vst3")
target_link_libraries(bench_format_process PRIVATE glimm_clap_headers glimm_vst3_headers glimm_plugin_state
                      glimm_test_common glimm_engine ${CMAKE_DL_LIBS})
add_dependencies(bench_format_process glimm_clap glimm_vst3)
glimm_add_test(NAME bench_format_process_quick
               COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh $<TARGET_FILE:bench_format_process> clap_process
               TIMEOUT 120 LABELS bench)
