# cron runs its job at the next full minute: this test waits for it.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 240 COST 500)
