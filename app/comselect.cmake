# The port selection dialog and its probe of the machine's serial devices.
add_library(appcomselect STATIC
  ${CMAKE_CURRENT_LIST_DIR}/comselect.cpp ${CMAKE_CURRENT_LIST_DIR}/comselect.h
  ${CMAKE_CURRENT_LIST_DIR}/messages.h)
target_include_directories(appcomselect PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(appcomselect PUBLIC platform regwire Qt6::Widgets)
