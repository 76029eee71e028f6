# Tests in real firmware, run from the host build: QEMU boots OVMF with the
# firmware test application that the efi build produced.
set(ADDONCARD_EFI_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/efi CACHE PATH
    "Build directory of the efi build whose firmware test application the host tests boot")
set(ADDONCARD_FIRMWARE_EXPORT ${CMAKE_BINARY_DIR}/firmware-export.hex)

set(ADDONCARD_FIRMWARE_VARS ${CMAKE_BINARY_DIR}/firmware-vars.fd)

# The checks inside OVMF, on a fresh variable store kept for the second boot;
# OVMF's export of the static package list is kept for the comparison below.
add_test(NAME firmware_ovmf
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-firmware-test.sh --timeout 240 --export-hex ${ADDONCARD_FIRMWARE_EXPORT}
                 --new-vars ${ADDONCARD_FIRMWARE_VARS} --expect "NOTE variable store: boot 1"
                 ${ADDONCARD_EFI_BUILD_DIR}/qemu/AddOnCardFirmwareTest.efi)
set_tests_properties(firmware_ovmf PROPERTIES TIMEOUT 300 FIXTURES_SETUP "firmware_export;firmware_vars")

# The same application booted again on the variable store the first boot left:
# the non-volatile PCI list must be found as edited there, the volatile
# variables must be gone. The expected line fails a boot on any other store.
add_test(NAME firmware_ovmf_second_boot
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-firmware-test.sh --timeout 240
                 --vars ${ADDONCARD_FIRMWARE_VARS} --expect "NOTE variable store: boot 2"
                 ${ADDONCARD_EFI_BUILD_DIR}/qemu/AddOnCardFirmwareTest.efi)
set_tests_properties(firmware_ovmf_second_boot PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED firmware_vars)

# The simulator registers the same list and must export the same bytes. The
# pass pattern also fails a run in which the test was skipped or not found.
add_executable(firmware_export_test ${CMAKE_SOURCE_DIR}/tests/firmware_export_test.cpp)
target_compile_options(firmware_export_test PRIVATE -Wall -Wextra -g)
target_link_libraries(firmware_export_test PRIVATE ${ADDONCARD_SIM_LIB} addoncard_driver GTest::gtest GTest::gtest_main)
add_test(NAME firmware_export_matches_ovmf COMMAND firmware_export_test)
set_tests_properties(firmware_export_matches_ovmf PROPERTIES
  FIXTURES_REQUIRED firmware_export TIMEOUT 120
  ENVIRONMENT ADDONCARD_FIRMWARE_EXPORT=${ADDONCARD_FIRMWARE_EXPORT}
  PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 1 test\\."
  FAIL_REGULAR_EXPRESSION "\\[  (FAILED|SKIPPED) +\\]")

# The same check groups against the simulator, two boots of one simulated
# machine. Each check states what OVMF answers, so this shows where the
# simulator still differs from the real firmware.
if(ADDONCARD_SIM_LIB)
  file(GLOB ADDONCARD_FIRMWARE_CHECK_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/qemu/*.cpp)
  list(REMOVE_ITEM ADDONCARD_FIRMWARE_CHECK_SOURCES ${CMAKE_SOURCE_DIR}/qemu/firmware_test.cpp
       ${CMAKE_SOURCE_DIR}/qemu/report_output.cpp)
  add_executable(firmware_checks_in_simulator ${ADDONCARD_FIRMWARE_CHECK_SOURCES}
                 ${CMAKE_SOURCE_DIR}/qemu/host/report_output.cpp ${CMAKE_SOURCE_DIR}/qemu/host/simulator_checks.cpp)
  target_compile_options(firmware_checks_in_simulator PRIVATE -Wall -Wextra -Werror -g)
  target_link_libraries(firmware_checks_in_simulator PRIVATE ${ADDONCARD_SIM_LIB} addoncard_driver)
  add_test(NAME firmware_checks_in_simulator COMMAND firmware_checks_in_simulator)
  set_tests_properties(firmware_checks_in_simulator PROPERTIES TIMEOUT 600)
endif()

# The card shapes of the host tests as the constant arrays that the firmware test
# application compiles (qemu/fixtures/card_fixtures.inc, committed so that the efi
# build needs no host program). The test fails when the committed file differs
# from what the shapes give now; the update target writes it again.
if(ADDONCARD_SIM_LIB)
  set(ADDONCARD_CARD_FIXTURE_ARRAYS ${CMAKE_SOURCE_DIR}/qemu/fixtures/card_fixtures.inc)
  add_executable(card_fixture_arrays ${CMAKE_SOURCE_DIR}/qemu/host/card_fixture_arrays.cpp)
  target_compile_options(card_fixture_arrays PRIVATE -Wall -Wextra -Werror -g)
  target_link_libraries(card_fixture_arrays PRIVATE ${ADDONCARD_SIM_LIB} addoncard_driver)
  add_custom_target(update_card_fixture_arrays
                    COMMAND card_fixture_arrays ${ADDONCARD_CARD_FIXTURE_ARRAYS}
                    COMMENT "Writing ${ADDONCARD_CARD_FIXTURE_ARRAYS}")
  add_test(NAME card_fixture_arrays_up_to_date
           COMMAND ${CMAKE_COMMAND} -DGENERATOR=$<TARGET_FILE:card_fixture_arrays>
                   -DCOMMITTED=${ADDONCARD_CARD_FIXTURE_ARRAYS} -DFRESH=${CMAKE_BINARY_DIR}/card_fixtures.inc
                   -P ${CMAKE_SOURCE_DIR}/qemu/host/check_card_fixture_arrays.cmake)
endif()

# The firmware tests' card driver and run-time big card, tested on the host.
if(ADDONCARD_SIM_LIB)
  add_executable(card_publisher_tests ${CMAKE_SOURCE_DIR}/qemu/host/card_publisher_test.cpp
                 ${CMAKE_SOURCE_DIR}/qemu/big_card.cpp ${CMAKE_SOURCE_DIR}/qemu/card_fixtures.cpp
                 ${CMAKE_SOURCE_DIR}/qemu/card_publisher.cpp)
  target_compile_options(card_publisher_tests PRIVATE -Wall -Wextra -g)
  target_link_libraries(card_publisher_tests PRIVATE ${ADDONCARD_SIM_LIB} addoncard_driver GTest::gtest
                        GTest::gtest_main)
  gtest_discover_tests(card_publisher_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()

# AddOnCardExport.efi in OVMF: one boot with two network cards runs the
# application with several command lines; the files it wrote are kept in
# export-ovmf/disk (real form sets of the cards' drivers, also fuzzing seeds)
# and checked on the host. The pass pattern fails a skipped or missing check.
set(ADDONCARD_EXPORT_OVMF_DIR ${CMAKE_BINARY_DIR}/export-ovmf)
add_test(NAME export_ovmf
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-export-test.sh --timeout 240
                 ${ADDONCARD_EFI_BUILD_DIR}/AddOnCardExport.efi ${ADDONCARD_EXPORT_OVMF_DIR})
set_tests_properties(export_ovmf PROPERTIES TIMEOUT 300 FIXTURES_SETUP export_ovmf_files)
add_executable(export_ovmf_files_test ${CMAKE_SOURCE_DIR}/tests/export_ovmf/exported_files_test.cpp)
target_compile_options(export_ovmf_files_test PRIVATE -Wall -Wextra -g)
target_link_libraries(export_ovmf_files_test PRIVATE GTest::gtest GTest::gtest_main)
add_test(NAME export_ovmf_files COMMAND export_ovmf_files_test)
set_tests_properties(export_ovmf_files PROPERTIES
  FIXTURES_REQUIRED export_ovmf_files TIMEOUT 60
  ENVIRONMENT ADDONCARD_EXPORT_OVMF_DIR=${ADDONCARD_EXPORT_OVMF_DIR}
  PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 4 tests\\."
  FAIL_REGULAR_EXPRESSION "\\[  (FAILED|SKIPPED) +\\]")

# The road of one setting in OVMF (qemu/road, qemu/testcard): AddOnCard.efi, the
# card driver and the road application on one boot disk, first on a fresh
# variable store, then again on the store the first boot left (the supported
# list kept, the card's page built again from the value applied in boot 1). The
# expected line fails a boot on any other store.
set(ADDONCARD_ROAD_VARS ${CMAKE_BINARY_DIR}/road-vars.fd)
add_test(NAME road_ovmf
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-road.sh --timeout 240 --new-vars ${ADDONCARD_ROAD_VARS}
                 --expect "NOTE road boot: 1" ${ADDONCARD_EFI_BUILD_DIR})
set_tests_properties(road_ovmf PROPERTIES TIMEOUT 300 FIXTURES_SETUP road_vars)
add_test(NAME road_ovmf_second_boot
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-road.sh --timeout 240 --vars ${ADDONCARD_ROAD_VARS}
                 --expect "NOTE road boot: 2" ${ADDONCARD_EFI_BUILD_DIR})
set_tests_properties(road_ovmf_second_boot PROPERTIES TIMEOUT 300 FIXTURES_REQUIRED road_vars)

# The road's reading of forms out of exported lists, on the host.
if(ADDONCARD_SIM_LIB)
  add_executable(road_pages_tests ${CMAKE_SOURCE_DIR}/qemu/host/road_pages_test.cpp
                 ${CMAKE_SOURCE_DIR}/qemu/road/road_pages.cpp)
  target_compile_options(road_pages_tests PRIVATE -Wall -Wextra -g)
  target_link_libraries(road_pages_tests PRIVATE ${ADDONCARD_SIM_LIB} addoncard_driver GTest::gtest GTest::gtest_main)
  gtest_discover_tests(road_pages_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endif()

# The export tool and the driver in one boot (qemu/agree): AddOnCardExport.efi
# writes the cards' lists with their stores' contents, the boot application
# writes the driver's own list and every keyword's GetData answer beside them;
# on the host the preview's keyword registry over the export must agree with
# what the driver built. The pass pattern fails a skipped or missing check.
if(TARGET addoncard)
  set(ADDONCARD_AGREE_OVMF_DIR ${CMAKE_BINARY_DIR}/agree-ovmf)
  add_test(NAME agree_ovmf
           COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-agree-test.sh --timeout 90 ${ADDONCARD_EFI_BUILD_DIR}
                   ${ADDONCARD_AGREE_OVMF_DIR})
  set_tests_properties(agree_ovmf PROPERTIES TIMEOUT 150 FIXTURES_SETUP agree_ovmf_files)
  add_executable(agree_ovmf_registry_test ${CMAKE_SOURCE_DIR}/tests/agree_ovmf/registry_agrees_test.cpp)
  target_include_directories(agree_ovmf_registry_test PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(agree_ovmf_registry_test PRIVATE -Wall -Wextra -g)
  target_link_libraries(agree_ovmf_registry_test PRIVATE GTest::gtest GTest::gtest_main
                        nlohmann_json::nlohmann_json)
  target_compile_definitions(agree_ovmf_registry_test PRIVATE ADDONCARD_TOOL_PATH="$<TARGET_FILE:addoncard>")
  add_dependencies(agree_ovmf_registry_test addoncard)
  add_test(NAME agree_ovmf_registry COMMAND agree_ovmf_registry_test)
  set_tests_properties(agree_ovmf_registry PROPERTIES
    FIXTURES_REQUIRED agree_ovmf_files TIMEOUT 120
    ENVIRONMENT ADDONCARD_AGREE_DIR=${ADDONCARD_AGREE_OVMF_DIR}/agree
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 4 tests\\."
    FAIL_REGULAR_EXPRESSION "\\[  (FAILED|SKIPPED) +\\]")
endif()

# The driver in OVMF's own setup browser, used through the firmware's console in
# tmux as a person uses it (qemu/browser-test.sh): the pages read off the screen,
# a one-of changed and saved there, and, across the reset the browser asks for,
# the chosen value in the card's own store and on the card's page.
add_test(NAME browser_ovmf
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/browser-test.sh --timeout 600 ${ADDONCARD_EFI_BUILD_DIR})
set_tests_properties(browser_ovmf PROPERTIES TIMEOUT 700)
