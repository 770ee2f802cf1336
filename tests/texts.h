// What cdcopy says, word for word, as every test that watches it expects it.
#pragma once

#include <string>

namespace cdcopy::testing::texts {

inline constexpr const char* kCaption = "Copy Data from Kestrion CD-ROM";

inline std::string BasePrompt(const std::string& drive) {
  return "Insert your Kestrion CD-ROM in Drive " + drive +
         " to copy game data.\nWait a moment for the system to recognize the disk,\n"
         "then click OK to continue.  Click Cancel to skip this part.";
}
inline std::string FirstPrompt(const std::string& drive) {
  return "Insert your Mission Pack One: Tessarand CD-ROM into Drive " + drive +
         "\nand click OK to continue.  Click Cancel to skip this part.";
}
inline std::string SecondPrompt(const std::string& drive) {
  return "Insert your Mission Pack Two: Ostmere CD-ROM into Drive " + drive +
         "\nand click OK to continue.  Click Cancel to skip this part.";
}

inline const std::string kCancelled =
    "Copy cancelled - You can play with the Kestrion CD-ROM inserted, or you can copy bnd0.bnd "
    "manually.";
inline const std::string kArchiveFailed =
    "Copy failed - You can play with the Kestrion CD-ROM inserted, or you can copy bnd0.bnd "
    "manually.";
inline const std::string kLogoFailed =
    "Copy failed - You can play the game but the Orrin Logo video will not play without the "
    "CD-ROM inserted.";

inline const std::string kArchiveLine = "\nNow copying Kestrion (kestcore) bnd0.bnd (179 MB)...";
inline const std::string kLogoLine =
    "\nNow copying Orrin Software Logo video orrinmark.flk (3 MB)...";
inline const std::string kFirstArchiveLine =
    "\nNow copying Mission Pack One (Halvane) bnd0.bnd (91 MB)...";
inline const std::string kFirstLogoLine = "\nNow copying Halvane Logo video logo.flk (3 MB)...";
inline const std::string kSecondArchiveLine =
    "\nNow copying Mission Pack Two (Velmora) bnd0.bnd (106 MB)...";
inline const std::string kSecondLogoLine = "\nNow copying Velmora Logo video logo.flk (3 MB)...";
inline const std::string kFirstLines = kFirstArchiveLine + kFirstLogoLine;
inline const std::string kSecondLines = kSecondArchiveLine + kSecondLogoLine;

}  // namespace cdcopy::testing::texts
