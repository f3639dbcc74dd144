# The scripted name server listens on 127.0.0.1 port 53; tests that bind it
# take turns.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES RESOURCE_LOCK udp_port_53)
