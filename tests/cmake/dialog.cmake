# The Cardflash window (Qt 6), driven by its buttons on the offscreen platform, over the virtual
# bus and on virtual time. Built like cardlink_test(), with the platform set for every test.
if(TARGET cardflash_dialog)
  find_package(Qt6 REQUIRED COMPONENTS Test)
  add_executable(dialog_test dialog_test.cpp)
  target_link_libraries(dialog_test PRIVATE testsupport GTest::gtest_main cardsim_bus cardsim_udev cardflash_dialog Qt6::Test
                                            ${CMAKE_DL_LIBS})
  # The test stands in front of Tav_Init and Tav_Close and reaches the library's own through
  # dlsym(RTLD_NEXT): it needs the shared library (and so runs the channel in real time).
  target_link_libraries(dialog_test PRIVATE Cardlink::Cardlink)
  target_link_options(dialog_test PRIVATE "LINKER:--no-as-needed")
  target_compile_definitions(dialog_test PRIVATE SAMPLE_DATA_DIR="${PROJECT_SOURCE_DIR}/sim/data")
  gtest_discover_tests(dialog_test DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endif()
