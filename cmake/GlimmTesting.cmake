# glimm_add_test(NAME <name> COMMAND <exe> [args...] [DISPLAY] [TIMEOUT s] [LABELS ...])
# Tests without DISPLAY run on Qt's offscreen platform; DISPLAY tests get a real
# X server through xvfb-run, one private server per test.
function(glimm_add_test)
  cmake_parse_arguments(T "DISPLAY" "NAME;TIMEOUT" "COMMAND;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  if(T_DISPLAY)
    # add_test resolves a target name only in the first word; behind xvfb-run
    # it needs spelling out.
    list(GET T_COMMAND 0 first)
    if(TARGET ${first})
      list(POP_FRONT T_COMMAND)
      list(PREPEND T_COMMAND "$<TARGET_FILE:${first}>")
    endif()
    add_test(NAME ${T_NAME}
             COMMAND xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" ${T_COMMAND})
    set(env "QT_QPA_PLATFORM=xcb")
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_COMMAND})
    set(env "QT_QPA_PLATFORM=offscreen")
  endif()
  list(APPEND env "QT_LOGGING_RULES=qt.qpa.*=false"
       "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0"
       "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
       "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
       ${T_ENVIRONMENT})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
