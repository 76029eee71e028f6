// What the reference firmware's boot manager leaves behind before any driver of
// ours runs: the platform language. OVMF stores "en" (with its NUL) as a
// non-volatile global variable at every boot.
#include "sim/sim.h"
#include "uefi/guids.h"

namespace sim {
namespace {

constexpr char PlatformLanguage[] = "en";
constexpr UINT32 GlobalVariableAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

void SetPlatformLanguage() {
  SystemTable()->RuntimeServices->SetVariable(u"PlatformLang", &EFI_GLOBAL_VARIABLE, GlobalVariableAttributes,
                                              sizeof(PlatformLanguage),
                                              const_cast<char *>(PlatformLanguage));
}

ComponentRegistrar BootManagerComponent("BootManager", 30, SetPlatformLanguage);

}  // namespace
}  // namespace sim
