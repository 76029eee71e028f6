# Cross build of the driver for x86-64 UEFI: clang emitting COFF for the
# Microsoft x64 ABI, lld-link producing PE32+ images.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
find_program(ADDONCARD_LLD_LINK NAMES lld-link lld-link-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar llvm-ar-14 PATHS /usr/lib/llvm-14/bin REQUIRED)
set(CMAKE_CXX_LINK_EXECUTABLE
    "${ADDONCARD_LLD_LINK} -nologo -nodefaultlib <LINK_FLAGS> <OBJECTS> <LINK_LIBRARIES> -out:<TARGET>")
set(ADDONCARD_EFI ON)
