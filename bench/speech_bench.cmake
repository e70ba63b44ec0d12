add_executable(speech_unit_bench ${CMAKE_CURRENT_LIST_DIR}/speech_unit_bench.cpp)
target_compile_definitions(speech_unit_bench PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>")
target_link_libraries(speech_unit_bench PRIVATE glimm_speech_harness glimm-platform ${CMAKE_DL_LIBS})
add_dependencies(speech_unit_bench GlimmSpeechUnit)

# Long-running; started by hand (soak --seconds S), never by the test suite.
# Both formats: the speech unit, and the LV2 plug-in through lilv.
pkg_check_modules(GLIMM_SOAK_LILV REQUIRED IMPORTED_TARGET lilv-0)
add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_compile_definitions(soak PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>"
                                        GLIMM_LV2_BUILD_PATH="${CMAKE_BINARY_DIR}/lv2")
target_link_libraries(soak PRIVATE glimm_speech_harness glimm_test_common glimm_lv2_interface glimm-platform
                                   PkgConfig::GLIMM_SOAK_LILV ${CMAKE_DL_LIBS})
add_dependencies(soak GlimmSpeechUnit glimm_dsp glimm_lv2_description)

add_executable(bench_sing ${CMAKE_CURRENT_LIST_DIR}/sing_bench.cpp)
target_compile_definitions(bench_sing PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>")
target_link_libraries(bench_sing PRIVATE glimm_speech_harness glimm-platform ${CMAKE_DL_LIBS})
add_dependencies(bench_sing GlimmSpeechUnit)

# glimm-host --render, whole process, against espeak-ng's command line.
glimm_add_test(NAME bench_render_quick
               COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh ${CMAKE_CURRENT_LIST_DIR}/render.sh render $<TARGET_FILE:glimm-host>
               TIMEOUT 120 LABELS bench)
