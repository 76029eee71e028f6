# The PE32+ build: AddOnCard.efi and the firmware test application.
# The generic target platform gives Ninja no header dependencies; without them an
# edited header would leave stale objects in the image.
set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
set(CMAKE_NINJA_DEPTYPE_CXX gcc)
# -Wglobal-constructors (an error here) proves that no global needs a constructor:
# firmware would never run one.
set(ADDONCARD_EFI_FLAGS ${ADDONCARD_FREESTANDING_FLAGS}
    -nostdlibinc -mno-red-zone -fno-stack-protector -fno-stack-check -mno-stack-arg-probe
    -Os -ffunction-sections -fdata-sections)

add_library(addoncard_efi_objects OBJECT ${ADDONCARD_DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/efi/runtime.cpp)
target_include_directories(addoncard_efi_objects PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(addoncard_efi_objects PUBLIC ${ADDONCARD_EFI_FLAGS})

if(EXISTS ${ADDONCARD_ENTRY_SOURCE})
  add_executable(AddOnCard ${ADDONCARD_ENTRY_SOURCE})
  target_link_libraries(AddOnCard PRIVATE addoncard_efi_objects)
  set_target_properties(AddOnCard PROPERTIES SUFFIX ".efi"
    LINK_FLAGS "-subsystem:efi_boot_service_driver -entry:AddOnCardEntry -opt:ref -opt:icf")
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
