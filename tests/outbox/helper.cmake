# The process that the outbox tests store with, deliver with, race and kill.
if(NOT TARGET outbox_helper)
    add_executable(outbox_helper ${CMAKE_CURRENT_LIST_DIR}/outbox_helper.cpp)
    target_link_libraries(outbox_helper PRIVATE Kelm::outbox Qt6::Core)
    kelm_warnings(outbox_helper)
endif()
add_dependencies(test_${KELM_TEST_NAME} outbox_helper)
target_compile_definitions(test_${KELM_TEST_NAME}
                           PRIVATE KELM_OUTBOX_HELPER="$<TARGET_FILE:outbox_helper>")
