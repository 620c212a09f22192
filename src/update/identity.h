// Values that identify the running plug-in to the update server, computed at attach
// and only read afterwards. They describe the module as loaded: after an update has
// replaced the file, ModuleMD5 still holds the old file's digest until the next start.
#pragma once

extern char* ModulePath;     // full path of our own module file (260 characters)
extern char* StagingPath;    // absolute path of "stufftata.btz" in the working directory
extern char* DownloadPath;   // ModulePath + ".download": where an update lives until verified
extern char ModuleMD5[33];   // hex MD5 of the module file; empty when it could not be read
extern char SerialMD5[33];   // hex MD5 of the signed decimal serial of volume "C:\"

// Runs inside the attach sequence, after build detection.
void InitModuleIdentity();
