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
  // An expansion disc's own folder and the other expansion's ("%s" takes the drive root). Both
  // discs keep their archive at the same path, so a disc that shows the other's folder and not
  // its own is the wrong one, and copying from it would replace a good archive with another.
  const char* discFolderTemplate = nullptr;
  const char* otherDiscFolderTemplate = nullptr;
};

extern const DiscStage kBaseStage;
extern const DiscStage kExpansionStages[2];

}  // namespace cdcopy
