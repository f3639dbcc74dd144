# Compiles an outside project: give it time, and tell it whether this build
# is instrumented by the sanitizers. The compiler takes both cores for a few
# seconds, so the test runs alone rather than slow down the tests beside it.
set_tests_properties(${KELM_TEST_NAME} PROPERTIES TIMEOUT 240 RUN_SERIAL TRUE)
set_property(TEST ${KELM_TEST_NAME} APPEND PROPERTY ENVIRONMENT "KELM_SANITIZE=${KELM_SANITIZE}")
