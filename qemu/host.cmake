# Tests in real firmware, run from the host build: QEMU boots OVMF with the
# firmware test application that the efi build produced.
set(ADDONCARD_EFI_BUILD_DIR ${CMAKE_SOURCE_DIR}/build/efi CACHE PATH
    "Build directory of the efi build whose firmware test application the host tests boot")

add_test(NAME firmware_ovmf
         COMMAND ${CMAKE_SOURCE_DIR}/qemu/run-firmware-test.sh --timeout 240
                 ${ADDONCARD_EFI_BUILD_DIR}/qemu/AddOnCardFirmwareTest.efi)
set_tests_properties(firmware_ovmf PROPERTIES TIMEOUT 300)
