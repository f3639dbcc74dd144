# Signs in and sends many times over, with waits for a silent token endpoint.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 300)
