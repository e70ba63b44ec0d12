# The LV2 plug-in's benchmarks: run() against the voice rendered directly,
# and its UI opened in a host's window against the same panel built directly
# in Qt inside a foreign window.
add_executable(bench_lv2_run ${CMAKE_CURRENT_LIST_DIR}/lv2_run.cpp)
target_compile_definitions(bench_lv2_run PRIVATE GLIMM_LV2_DSP_PATH="$<TARGET_FILE:glimm_dsp>")
target_link_libraries(bench_lv2_run PRIVATE glimm_lv2_interface glimm_test_common glimm_engine ${CMAKE_DL_LIBS})
add_dependencies(bench_lv2_run glimm_dsp)
glimm_add_test(NAME bench_lv2_run_quick
               COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh $<TARGET_FILE:bench_lv2_run> lv2_run
               TIMEOUT 120 LABELS bench)

add_executable(bench_lv2_ui_open ${CMAKE_CURRENT_LIST_DIR}/lv2_ui_open.cpp)
target_compile_definitions(bench_lv2_ui_open PRIVATE GLIMM_LV2_UI_PATH="$<TARGET_FILE:glimm_lv2_ui>")
target_link_libraries(bench_lv2_ui_open PRIVATE glimm_bench_common glimm_resources glimm_lv2_interface
                      glimm_test_x11window glimm_test_common ${CMAKE_DL_LIBS})
add_dependencies(bench_lv2_ui_open glimm_lv2_ui)
glimm_add_test(NAME bench_lv2_ui_open_quick
               COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh $<TARGET_FILE:bench_lv2_ui_open> lv2_ui_open
               DISPLAY TIMEOUT 120 LABELS bench)
