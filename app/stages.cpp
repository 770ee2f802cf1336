#include "app/disc_stage.h"

namespace cdcopy {

namespace {

constexpr const char* kBaseCancelled =
    "Copy cancelled - You can play with the Kestrion CD-ROM inserted, or you can copy bnd0.bnd "
    "manually.";
constexpr const char* kArchiveFailed =
    "Copy failed - You can play with the Kestrion CD-ROM inserted, or you can copy bnd0.bnd "
    "manually.";
constexpr const char* kLogoFailed =
    "Copy failed - You can play the game but the Orrin Logo video will not play without the "
    "CD-ROM inserted.";

}  // namespace

const DiscStage kBaseStage = {
    "Insert your Kestrion CD-ROM in Drive %s to copy game data.\n"
    "Wait a moment for the system to recognize the disk,\n"
    "then click OK to continue.  Click Cancel to skip this part.",
    GoAhead::UnlessCancel,
    kBaseCancelled,
    {
        {"\nNow copying Kestrion (kestcore) bnd0.bnd (179 MB)...", nullptr,
         "%sinstall\\data\\kestcore\\bnd0.bnd", "%s\\kestcore\\bnd0.bnd",
         FailurePolicy::RetryThenAbort, kArchiveFailed},
        {"\nNow copying Orrin Software Logo video orrinmark.flk (3 MB)...", "%s\\kestcore\\video",
         "%sInstall\\Data\\kestcore\\video\\orrinmark.flk", "%s\\kestcore\\video\\orrinmark.flk",
         FailurePolicy::Abort, kLogoFailed},
    },
};

const DiscStage kExpansionStages[2] = {
    {
        "Insert your Mission Pack One: Tessarand CD-ROM into Drive %s\n"
        "and click OK to continue.  Click Cancel to skip this part.",
        GoAhead::OnlyOnOk,
        nullptr,
        {
            {"\nNow copying Mission Pack One (Halvane) bnd0.bnd (91 MB)...", nullptr,
             "%sdata\\all\\bnd0.bnd", "%s\\halvane\\bnd0.bnd", FailurePolicy::Ignore, nullptr},
            {"\nNow copying Halvane Logo video logo.flk (3 MB)...", "%s\\halvane\\video",
             "%sdata\\max\\halvane\\video\\logo.flk", "%s\\halvane\\video\\logo.flk",
             FailurePolicy::Ignore, nullptr},
        },
        "%sdata\\max\\halvane",
        "%sdata\\max\\velmora",
    },
    {
        "Insert your Mission Pack Two: Ostmere CD-ROM into Drive %s\n"
        "and click OK to continue.  Click Cancel to skip this part.",
        GoAhead::OnlyOnOk,
        nullptr,
        {
            {"\nNow copying Mission Pack Two (Velmora) bnd0.bnd (106 MB)...", nullptr,
             "%sdata\\all\\bnd0.bnd", "%s\\velmora\\bnd0.bnd", FailurePolicy::Ignore, nullptr},
            {"\nNow copying Velmora Logo video logo.flk (3 MB)...", "%s\\velmora\\video",
             "%sdata\\max\\velmora\\video\\logo.flk", "%s\\velmora\\video\\logo.flk",
             FailurePolicy::Ignore, nullptr},
        },
        "%sdata\\max\\velmora",
        "%sdata\\max\\halvane",
    },
};

}  // namespace cdcopy
