// Placeholders until the update service lands.
#include "update/identity.h"
#include "update/replacement.h"
#include "update/update_check.h"

char* ModulePath;
char* StagingPath;
char ModuleMD5[33];
char SerialMD5[33];
void InitModuleIdentity() {}
int CheckForUpdates() { return 0; }
void StageModuleReplacement() {}
void FinishModuleReplacement() {}
