# The PE32+ build: AddOnCard.efi and the firmware test application.
# The generic target platform gives Ninja no header dependencies; without them an
# edited header would leave stale objects in the image.
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_NINJA_DEPTYPE_CXX gcc)
# -Wglobal-constructors (an error here) proves that no global needs a constructor:
# firmware would never run one.
set(ADDONCARD_EFI_FLAGS ${ADDONCARD_FREESTANDING_FLAGS}
    -nostdlibinc -mno-red-zone -fno-stack-protector -fno-stack-check -mno-stack-arg-probe
    -Oz -flto -ffunction-sections -fdata-sections)

add_library(addoncard_efi_objects OBJECT ${ADDONCARD_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/efi/runtime.cpp)
target_include_directories(addoncard_efi_objects PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(addoncard_efi_objects PUBLIC ${ADDONCARD_EFI_FLAGS})

if(EXISTS ${ADDONCARD_ENTRY_SOURCE})
  add_executable(AddOnCard ${ADDONCARD_ENTRY_SOURCE})
  target_link_libraries(AddOnCard PRIVATE addoncard_efi_objects)
  # The map names the symbol at the entry point, for the test of the image.
  # Constant data goes into the code section, as firmware images usually have
  # it: one section less to pad to the file alignment.
  set_target_properties(AddOnCard PROPERTIES SUFFIX ".efi"
    LINK_FLAGS "-subsystem:efi_boot_service_driver -entry:AddOnCardEntry -opt:ref -opt:icf -merge:.rdata=.text -map:${CMAKE_BINARY_DIR}/AddOnCard.map")
  # What a platform's firmware build takes: the image, its dependency
  # expression (the HII database, string and routing protocols) and the module
  # description, side by side.
  set(ADDONCARD_DEPEX ${CMAKE_BINARY_DIR}/AddOnCard.depex)
  add_custom_command(OUTPUT ${ADDONCARD_DEPEX}
    COMMAND sh ${CMAKE_SOURCE_DIR}/efi/write_depex.sh ${ADDONCARD_DEPEX}
            EF9FC172-A1B2-4693-B327-6D32FC416042 0FD96974-23AA-4CDC-B9CB-98D17750322A
            587E72D7-CC50-4F79-8209-CA291FC1A10F
    DEPENDS ${CMAKE_SOURCE_DIR}/efi/write_depex.sh VERBATIM)
  configure_file(${CMAKE_SOURCE_DIR}/efi/AddOnCard.inf ${CMAKE_BINARY_DIR}/AddOnCard.inf COPYONLY)
  add_custom_target(AddOnCardDepex ALL DEPENDS ${ADDONCARD_DEPEX})
endif()

if(EXISTS ${CMAKE_SOURCE_DIR}/qemu/CMakeLists.txt)
  add_subdirectory(qemu)
endif()

# AddOnCardExport.efi: a UEFI application that writes the package lists of PCI
# functions to files for the host tools. It links the driver's support objects
# and none of its state beyond the service tables.
file(GLOB ADDONCARD_EXPORT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/export_efi/*.cpp)
if(ADDONCARD_EXPORT_SOURCES)
  add_executable(AddOnCardExport ${ADDONCARD_EXPORT_SOURCES})
  target_link_libraries(AddOnCardExport PRIVATE addoncard_efi_objects)
  set_target_properties(AddOnCardExport PROPERTIES SUFFIX ".efi"
    LINK_FLAGS "-subsystem:efi_application -entry:AddOnCardExportEntry -opt:ref -opt:icf")
endif()
