include(${CMAKE_CURRENT_LIST_DIR}/helper.cmake)
