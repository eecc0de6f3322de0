# The threaded timer: a worker thread that times the ticks and hands each one
# to the main thread. A target of its own, so that its tests and the main
# window can use it without the rest of the shell.
add_library(apptimer STATIC
  ${CMAKE_CURRENT_LIST_DIR}/threadedtimer.cpp ${CMAKE_CURRENT_LIST_DIR}/threadedtimer.h
  ${CMAKE_CURRENT_LIST_DIR}/messages.h)
target_include_directories(apptimer PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(apptimer PUBLIC platform Qt6::Core)
