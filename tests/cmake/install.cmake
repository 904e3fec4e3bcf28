# The installed files as a user or another program sees them (tests/install/install_test.sh).
# In the sanitizer build the consumer is instrumented too: the sanitizer runtime must be loaded
# before the instrumented libCardlink.
set(install_test_flags "")
if(CARDLINK_SANITIZE)
  set(install_test_flags "-fsanitize=address,undefined")
endif()
add_test(NAME install_test
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../install/install_test.sh
    ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}/install-test ${CMAKE_C_COMPILER}
    ${CMAKE_INSTALL_LIBDIR} $<TARGET_EXISTS:Cardflash> ${PROJECT_VERSION} ${PROJECT_VERSION_MAJOR}
    "${install_test_flags}")
set_tests_properties(install_test PROPERTIES
  ENVIRONMENT "CMAKE=${CMAKE_COMMAND}"
  PASS_REGULAR_EXPRESSION "install test passed"
  FAIL_REGULAR_EXPRESSION "FAIL:"
  TIMEOUT 300)
