// Returns every piece of driver-wide state to its load-time value, so that a
// host test starts from a fresh image load. Firmware never calls it.
#pragma once

void ResetDriverState();

// One reset per module that keeps driver-wide state; ResetDriverState calls all.
void ResetServiceTables();
void ResetConfigStringState();
void ResetForeignVarStoreState();
void ResetRegistrationState();
void ResetLanguageState();
void ResetVariableState();
void ResetPoolState();
void ResetCardInventoryState();
void ResetCardPagesState();
