// The driver's start-up locates its services through the firmware; these checks
// show that the driver code, linked into an image, finds them in real firmware.
#include "driver/globals.h"
#include "qemu/check_groups.h"

void RunServiceChecks(CheckLog &Log) {
  ReportLine Details;
  Log.Record("services/boot and runtime services come from the system table",
             BootServices == SystemTable->BootServices && RuntimeServices == SystemTable->RuntimeServices &&
                 BootServices != nullptr && RuntimeServices != nullptr,
             Details.Text("driver-wide tables do not match the system table"));
  ReportLine Missing;
  if (HiiDatabase == nullptr) Missing.Text(" HII database");
  if (HiiString == nullptr) Missing.Text(" HII string");
  if (ConfigRouting == nullptr) Missing.Text(" HII config routing");
  ReportLine Details2;
  Log.Record("services/InitializeServiceTables locates the HII database, string and routing protocols",
             Missing.IsEmpty(), Details2.Text("not located:").Line(Missing));
}
