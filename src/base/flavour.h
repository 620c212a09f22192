// The texts that tell the two flavours of the plug-in apart; each flavour's file in
// flavours/ defines them.
#pragma once

#include <cstdlib>

struct FlavourTexts {
  const char* buildNumberText;     // "51081"
  const char* buildNumberString;   // "Murmelon_Build_Num 51081"
  const char* buildVersionString;  // "Murmelon build: <date text>"
  const char* buildDateText;       // the date text that ends the version string
  const wchar_t* platformLabel;    // "(WIN_7)" in the about text
};

extern const FlavourTexts kFlavour;

// This module's build number, as GetBuildInt exports it and the update check sends it.
inline int FlavourBuildNumber() { return std::atoi(kFlavour.buildNumberText); }
