# Three sends, each in a private network namespace of its own.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 180)
