# The golden message texts fix the clock in UTC and expect local time one
# hour east of it.
set_property(TEST ${KELM_TEST_NAME} APPEND PROPERTY ENVIRONMENT "TZ=XXX-1")
