add_executable(speech_unit_bench ${CMAKE_CURRENT_LIST_DIR}/speech_unit_bench.cpp)
target_compile_definitions(speech_unit_bench PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>")
target_link_libraries(speech_unit_bench PRIVATE glimm_speech_harness glimm-platform ${CMAKE_DL_LIBS})
add_dependencies(speech_unit_bench GlimmSpeechUnit)

# Long-running; started by hand (bench/soak.sh), never by the test suite.
add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak.cpp)
target_compile_definitions(soak PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>")
target_link_libraries(soak PRIVATE glimm_speech_harness glimm-platform ${CMAKE_DL_LIBS})
add_dependencies(soak GlimmSpeechUnit)

add_executable(bench_sing ${CMAKE_CURRENT_LIST_DIR}/sing_bench.cpp)
target_compile_definitions(bench_sing PRIVATE GLIMM_SPEECH_UNIT_PATH="$<TARGET_FILE:GlimmSpeechUnit>")
target_link_libraries(bench_sing PRIVATE glimm_speech_harness glimm-platform ${CMAKE_DL_LIBS})
add_dependencies(bench_sing GlimmSpeechUnit)
