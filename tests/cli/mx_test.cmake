# dnsmasq runs as root on a free port of 127.0.0.1; no shared port to lock.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 180)
