# Dovecot and aiosmtpd start once for the file; each kelmsend run is bounded.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 240)
