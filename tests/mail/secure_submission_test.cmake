# Dovecot and aiosmtpd start once for the suite; the mix-up cases wait for
# a silent server.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 300)
