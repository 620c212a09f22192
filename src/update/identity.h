// Values that identify the running plug-in to the update server, computed at attach.
#pragma once

extern char* ModulePath;     // full path of our own module file (260 characters)
extern char* StagingPath;    // absolute path of "stufftata.btz" in the working directory
extern char ModuleMD5[33];   // hex MD5 of the module file; empty when it could not be read
extern char SerialMD5[33];   // hex MD5 of the signed decimal serial of volume "C:\"

void InitModuleIdentity();
