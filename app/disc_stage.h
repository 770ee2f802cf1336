#pragma once

#include <cstddef>

#include "copy/copy_item.h"

namespace cdcopy {

inline constexpr const char DialogTitle[] = "Copy Data from Kestrion CD-ROM";
inline constexpr std::size_t kTextBufferSize = 2048;

enum class GoAhead {
  UnlessCancel,  // any answer but Cancel, even a box that could not be shown
  OnlyOnOk,
};

// The work for one disc: a prompt, then its two items in order.
struct DiscStage {
  const char* promptTemplate;  // "%s" takes the drive root
  GoAhead goAhead;
  // The warning that ends the run when the stage is declined; nullptr: the stage is skipped.
  const char* cancelNotice;
  CopyItem items[2];
};

extern const DiscStage kBaseStage;
extern const DiscStage kExpansionStages[2];

// Everything the run keeps, fixed in size, for the whole run.
struct RunBuffers {
  PathBuffers paths;
  char text[kTextBufferSize];
};

}  // namespace cdcopy
