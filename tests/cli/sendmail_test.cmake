# Runs kelmsend, git send-email and s-nail against aiosmtpd.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 300)
