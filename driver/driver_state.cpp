#include "driver/driver_state.h"

void ResetDriverState() {
  ResetServiceTables();
  ResetConfigStringState();
  ResetForeignVarStoreState();
  ResetRegistrationState();
  ResetLanguageState();
  ResetVariableState();
  ResetPoolState();
  ResetCardInventoryState();
  ResetCardPagesState();
}
