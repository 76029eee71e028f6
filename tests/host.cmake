# The host build: the same driver sources inside the firmware simulator, for
# tests (under AddressSanitizer and UndefinedBehaviorSanitizer), tools, fuzzing
# and benchmarks.
enable_testing()
find_package(GTest REQUIRED)
include(GoogleTest)

option(ADDONCARD_SANITIZE "Build the host code with ASan and UBSan" ON)
if(ADDONCARD_SANITIZE)
  set(ADDONCARD_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_compile_options(${ADDONCARD_SANITIZER_FLAGS})
  add_link_options(${ADDONCARD_SANITIZER_FLAGS})
endif()

add_library(addoncard_driver STATIC ${ADDONCARD_DRIVER_SOURCES})
target_include_directories(addoncard_driver PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(addoncard_driver PRIVATE ${ADDONCARD_FREESTANDING_FLAGS} -g)
# The benchmarks read what the driver copied and allocated.
target_compile_definitions(addoncard_driver PRIVATE ADDONCARD_WORK_COUNTERS)

# The image entry point, for the tests that load the driver as firmware does.
add_library(addoncard_entry OBJECT ${ADDONCARD_ENTRY_SOURCE})
target_include_directories(addoncard_entry PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(addoncard_entry PRIVATE ${ADDONCARD_FREESTANDING_FLAGS} -g)

file(GLOB ADDONCARD_SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/*.cpp)
if(ADDONCARD_SIM_SOURCES)
  # An object library, so that every simulated firmware component is linked even
  # when nothing refers to it by name (components register themselves).
  add_library(addoncard_sim OBJECT ${ADDONCARD_SIM_SOURCES})
  target_include_directories(addoncard_sim PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(addoncard_sim PRIVATE -Wall -Wextra -Werror -g)
  target_link_libraries(addoncard_sim PUBLIC addoncard_driver)
  set(ADDONCARD_SIM_LIB addoncard_sim)
endif()

file(GLOB ADDONCARD_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/*.cpp)
# Needs OVMF's export first: built and run on its own by qemu/host.cmake.
list(REMOVE_ITEM ADDONCARD_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/firmware_export_test.cpp)
# The independent page checker and the expected pages of the card shapes are
# shared with the firmware checks (qemu/).
add_executable(addoncard_tests ${ADDONCARD_TEST_SOURCES} ${CMAKE_SOURCE_DIR}/qemu/page_check.cpp
                               ${CMAKE_SOURCE_DIR}/qemu/expected_pages.cpp ${CMAKE_SOURCE_DIR}/bench/scan_scenario.cpp)
target_compile_options(addoncard_tests PRIVATE -Wall -Wextra -g)
target_link_libraries(addoncard_tests PRIVATE ${ADDONCARD_SIM_LIB} addoncard_entry addoncard_driver GTest::gtest
                      GTest::gtest_main)
gtest_discover_tests(addoncard_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 600)

# The driver's footprint: AddOnCard.efi of the efi build, and its SizeOfImage
# with the pool held after the largest scan in the simulator. The pass pattern
# fails a run in which the checks were skipped.
if(NOT DEFINED ADDONCARD_EFI_BUILD_DIR)
  set(ADDONCARD_EFI_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/efi)
endif()
add_executable(footprint_test ${CMAKE_SOURCE_DIR}/tests/efi_image/footprint_test.cpp
                              ${CMAKE_SOURCE_DIR}/bench/scan_scenario.cpp)
target_compile_options(footprint_test PRIVATE -Wall -Wextra -g)
target_link_libraries(footprint_test PRIVATE ${ADDONCARD_SIM_LIB} addoncard_entry addoncard_driver GTest::gtest
                      GTest::gtest_main)
foreach(FOOTPRINT_CHECK IN ITEMS ImageFileIsAtMost48KiB LoadedImageAndPoolHeldAfterTheLargestScanAreAtMost256KiB)
  add_test(NAME footprint.${FOOTPRINT_CHECK} COMMAND footprint_test --gtest_filter=*.${FOOTPRINT_CHECK})
  set_tests_properties(footprint.${FOOTPRINT_CHECK} PROPERTIES TIMEOUT 120
    ENVIRONMENT "ADDONCARD_EFI_BUILD_DIR=${ADDONCARD_EFI_BUILD_DIR}"
    PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 1 test\\."
    FAIL_REGULAR_EXPRESSION "\\[  (FAILED|SKIPPED) +\\]")
endforeach()

# The failure sweep of the road: one program, one ctest, whose output ends with
# the table of failure points per step (ctest -V -R failure_sweep shows it).
add_executable(addoncard_failure_sweep ${CMAKE_SOURCE_DIR}/tests/sweep/failure_sweep.cpp
                                       ${CMAKE_SOURCE_DIR}/qemu/page_check.cpp ${CMAKE_SOURCE_DIR}/qemu/expected_pages.cpp)
target_compile_options(addoncard_failure_sweep PRIVATE -Wall -Wextra -g)
target_link_libraries(addoncard_failure_sweep PRIVATE ${ADDONCARD_SIM_LIB} addoncard_entry addoncard_driver GTest::gtest)
add_test(NAME failure_sweep COMMAND addoncard_failure_sweep)
set_tests_properties(failure_sweep PROPERTIES TIMEOUT 600)

file(GLOB ADDONCARD_TOOL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/*.cpp)
if(ADDONCARD_TOOL_SOURCES)
  # libefivar: UEFI variables of the running system, through efivarfs.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(EFIVAR REQUIRED IMPORTED_TARGET efivar)
  # The preview's keyword registry is JSON written through a JSON library.
  find_package(nlohmann_json 3 REQUIRED)
  add_executable(addoncard ${ADDONCARD_TOOL_SOURCES})
  target_compile_options(addoncard PRIVATE -Wall -Wextra -Werror -g)
  target_link_libraries(addoncard PRIVATE ${ADDONCARD_SIM_LIB} addoncard_entry addoncard_driver
                                          PkgConfig::EFIVAR nlohmann_json::nlohmann_json)
  # Tests that run the tool as a person would, as a separate program.
  add_dependencies(addoncard_tests addoncard)
  target_link_libraries(addoncard_tests PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(addoncard_tests PRIVATE ADDONCARD_TOOL_PATH="$<TARGET_FILE:addoncard>")
endif()

# Tests in real firmware: QEMU running OVMF boots the test application that the
# efi build produced.
if(EXISTS ${CMAKE_SOURCE_DIR}/qemu/host.cmake)
  include(${CMAKE_SOURCE_DIR}/qemu/host.cmake)
endif()

# Benchmarks of the scan (bench/). `make bench` runs them in a build of their
# own without sanitizers; here they are built, and one small scan is run.
find_package(benchmark REQUIRED)
add_executable(addoncard_bench ${CMAKE_SOURCE_DIR}/bench/scan_bench.cpp ${CMAKE_SOURCE_DIR}/bench/scan_scenario.cpp)
target_compile_options(addoncard_bench PRIVATE -Wall -Wextra -Werror -g)
target_link_libraries(addoncard_bench PRIVATE ${ADDONCARD_SIM_LIB} addoncard_entry addoncard_driver
                      benchmark::benchmark)
add_test(NAME addoncard_bench_scan COMMAND addoncard_bench --scan 2 20)
set_tests_properties(addoncard_bench_scan PROPERTIES TIMEOUT 120 PASS_REGULAR_EXPRESSION "^20 mirrored")

if(TARGET addoncard)
  add_test(NAME addoncard_packages
           COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:addoncard> -DDIR=${CMAKE_BINARY_DIR}/addoncard_packages
                   -P ${CMAKE_SOURCE_DIR}/tests/addoncard_packages.cmake)
endif()

# The export application's code (all but its image entry point), freestanding
# as in the image, for the tests that run it in the simulator.
file(GLOB ADDONCARD_EXPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/export_efi/*.cpp)
list(REMOVE_ITEM ADDONCARD_EXPORT_SOURCES ${CMAKE_SOURCE_DIR}/tools/export_efi/export_entry.cpp)
if(ADDONCARD_EXPORT_SOURCES)
  add_library(addoncard_export STATIC ${ADDONCARD_EXPORT_SOURCES})
  target_compile_options(addoncard_export PRIVATE ${ADDONCARD_FREESTANDING_FLAGS} -g)
  target_link_libraries(addoncard_export PUBLIC addoncard_driver)
  target_link_libraries(addoncard_tests PRIVATE addoncard_export)
endif()

# AddOnCard.efi, its dependency expression and its module description as the
# efi build leaves them for a platform's firmware build. The pass pattern fails
# a run in which the checks were skipped.
add_executable(efi_image_test ${CMAKE_SOURCE_DIR}/tests/efi_image/efi_image_test.cpp)
target_include_directories(efi_image_test PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(efi_image_test PRIVATE -Wall -Wextra -g)
target_link_libraries(efi_image_test PRIVATE GTest::gtest GTest::gtest_main)
add_test(NAME efi_image COMMAND efi_image_test)
set_tests_properties(efi_image PROPERTIES TIMEOUT 60
  ENVIRONMENT "ADDONCARD_EFI_BUILD_DIR=${ADDONCARD_EFI_BUILD_DIR};ADDONCARD_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
  PASS_REGULAR_EXPRESSION "\\[  PASSED  \\] 3 tests\\."
  FAIL_REGULAR_EXPRESSION "\\[  (FAILED|SKIPPED) +\\]")

# libFuzzer harnesses and the replay of their committed corpora.
add_subdirectory(${CMAKE_SOURCE_DIR}/fuzz ${CMAKE_BINARY_DIR}/fuzz)
