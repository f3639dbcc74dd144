# The test plays the server side with GNU SASL itself.
find_package(PkgConfig REQUIRED)
pkg_check_modules(GSASL REQUIRED libgsasl)
target_include_directories(test_${KELM_TEST_NAME} PRIVATE ${GSASL_INCLUDE_DIRS})
target_link_libraries(test_${KELM_TEST_NAME} PRIVATE ${GSASL_LIBRARIES})
