# The editor benchmarks: opening, automation, idle wake-ups and memory, each
# against the same panel built directly in Qt. Built with everything else so
# they keep compiling; bench/run.sh runs them.
add_library(glimm_bench_common STATIC
  ${CMAKE_CURRENT_LIST_DIR}/benchutil.h ${CMAKE_CURRENT_LIST_DIR}/benchutil.cpp
  ${CMAKE_CURRENT_LIST_DIR}/benchpanel.h ${CMAKE_CURRENT_LIST_DIR}/benchpanel.cpp)
target_include_directories(glimm_bench_common PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(glimm_bench_common PUBLIC glimm_host_ui Qt6::Widgets)

foreach(name editor_open automation_storm idle memory)
  add_executable(bench_${name} ${CMAKE_CURRENT_LIST_DIR}/${name}.cpp)
  # The bare side needs the same images, font and style sheet as the editor.
  target_link_libraries(bench_${name} PRIVATE glimm_bench_common glimm_resources)
  add_dependencies(bench_${name} AUGlimm3CocoaUI GlimmSpeechUnit)
  # A tiny run, so they cannot rot: exit status and the table row only.
  glimm_add_test(NAME bench_${name}_quick
                 COMMAND ${CMAKE_CURRENT_LIST_DIR}/smoke.sh $<TARGET_FILE:bench_${name}> ${name}
                 TIMEOUT 120 LABELS bench)
endforeach()
