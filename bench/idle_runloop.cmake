add_executable(idle_runloop ${CMAKE_CURRENT_LIST_DIR}/idle_runloop.cpp)
target_link_libraries(idle_runloop PRIVATE glimm-platform-qt)
