# The POP3 case binds 127.0.0.1:110.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES RESOURCE_LOCK pop3_port_110 TIMEOUT 300)
