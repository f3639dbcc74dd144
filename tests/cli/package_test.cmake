# Compiles an outside project: give it time, and tell it whether this build
# is instrumented by the sanitizers.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 240)
set_property(TEST ${KELM_TEST_NAME} APPEND PROPERTY ENVIRONMENT "KELM_SANITIZE=${KELM_SANITIZE}")
