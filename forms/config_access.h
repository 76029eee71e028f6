// The driver's one EFI_HII_CONFIG_ACCESS_PROTOCOL: configuration strings of its
// three variable stores (OOB, STRING, PCI) for the form browser, the router and
// direct callers. ExtractConfig turns a variable into a configuration string,
// RouteConfig a configuration string into the variable, Callback refreshes the
// browser's OOB and PCI edit buffers.
//
// Requests and configurations are taken apart only as far as needed to check
// them against the store they name; the conversions themselves are the router's
// BlockToConfig and ConfigToBlock.
#pragma once
#include "forms/variables.h"
#include "uefi/protocols.h"

// ExtractConfig (This unused).
//   Request null: every store's whole configuration, one after another ("&"
//     between them), the PCI store followed by its default configuration.
//   Request a header of one store (GUID and NAME compared, PATH not), alone or
//     with "&OFFSET=<hex>&WIDTH=<hex>" elements: the store's variable is reloaded
//     into its copy and answered whole or for those elements; for the PCI store
//     the answer goes on with "&<the same header>&ALTCFG=0000" and the default
//     record for the same elements.
// On success *Results is a pool string the caller frees and *Progress points at
// the terminator of Request (null for a null Request). Statuses:
//   EFI_SUCCESS;
//   EFI_INVALID_PARAMETER  Progress or Results null (nothing written); or illegal
//     syntax: a malformed header (*Progress = Request); an element that is not
//     OFFSET/WIDTH, names no byte or reaches past the store, a second header
//     (*Progress = the "&" in front of it);
//   EFI_NOT_FOUND          Request names none of the three stores (*Progress =
//     Request);
//   EFI_OUT_OF_RESOURCES   the pool is exhausted;
//   EFI_NOT_READY          no configuration router is installed;
//   EFI_DEVICE_ERROR       the router's BlockToConfig succeeded without an answer;
//   any error of the router's BlockToConfig.
// On every error *Results is null, and *Progress is Request unless said above.
EFI_STATUS EFIAPI ExtractConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Request,
                                CHAR16 **Progress, CHAR16 **Results);

// RouteConfig (This unused): Configuration is a header of one store and one or
// more "&OFFSET=<hex>&WIDTH=<hex>&VALUE=<hex>" elements, each VALUE exactly
// WIDTH bytes (2 x WIDTH digits, the leading zero may be left out). The store's
// variable is read afresh, the elements are laid over it, the result is written
// with the store's attributes and then published (driver-wide copy and
// browser). On success *Progress points at the terminator.
// Statuses:
//   EFI_SUCCESS;
//   EFI_INVALID_PARAMETER  Configuration or Progress null (nothing written); or
//     illegal syntax (*Progress = Configuration for the header or a missing body,
//     else the "&" in front of the failing element);
//   EFI_NOT_FOUND          Configuration names none of the three stores
//     (*Progress = Configuration);
//   EFI_OUT_OF_RESOURCES   the pool is exhausted;
//   EFI_NOT_READY          no configuration router is installed;
//   an error of the variable's reload, of ConfigToBlock or of SetVariable
//     (*Progress = Configuration).
// On every error neither the copy nor the variable changes (beyond the reload's
// own repair of a missing or mis-sized variable).
EFI_STATUS EFIAPI RouteConfig(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, const CHAR16 *Configuration,
                              CHAR16 **Progress);

// Callback: for every action but the default actions, and every question,
// reads the browser's edit buffers of the OOB (1024 bytes) and PCI (41 bytes)
// stores and hands both back unchanged, OOB first. Value and ActionRequest are
// never read or written (either may be null).
//   EFI_SUCCESS; EFI_NOT_FOUND when either buffer cannot be read;
//   EFI_UNSUPPORTED        a default action (0x1000 to 0x4FFF): the browser then
//                          takes the form's own default, nothing is touched.
EFI_STATUS EFIAPI Callback(const EFI_HII_CONFIG_ACCESS_PROTOCOL *This, EFI_BROWSER_ACTION Action,
                           EFI_QUESTION_ID QuestionId, UINT8 Type, EFI_IFR_TYPE_VALUE *Value,
                           EFI_BROWSER_ACTION_REQUEST *ActionRequest);

// Appends the default configuration of the PCI store to *Results, the answer
// to Request (a header and OFFSET/WIDTH elements): "&", Request's header,
// "&ALTCFG=0000" (the standard default store), and the elements of Request
// with the values of DefaultBlock. *Results is replaced by a new pool string;
// on any error it is left as it was. Statuses:
//   EFI_SUCCESS (also when BlockToConfig answers nothing: nothing appended);
//   EFI_INVALID_PARAMETER  an argument or *Results is null;
//   EFI_NOT_READY          no configuration router is installed;
//   EFI_DEVICE_ERROR       the router's answer has no "&OFFSET=";
//   EFI_OUT_OF_RESOURCES; any error of BlockToConfig.
EFI_STATUS AppendPciDefaults(const CHAR16 *Request, const ADDONCARD_PCI_ID_LIST *DefaultBlock,
                             CHAR16 **Results);

// Puts the three operations into AddOnCardConfigAccess (driver/globals.h); start-up
// calls it right before it installs the protocol.
void FillAddOnCardConfigAccess();
