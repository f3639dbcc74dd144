# Runs kelmsend against aiosmtpd many times over.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 300)
