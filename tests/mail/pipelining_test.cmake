# aiosmtpd starts for one case.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 120)
