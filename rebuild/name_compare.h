// Name comparison as the rebuild compares field and index names: without
// regard to the letter case of A to Z; every other character, including
// letters outside A to Z, must be equal as it stands.
#pragma once

#include "engine/text.h"

namespace vellum::rebuild {

using engine::FoldAsciiLetter;
using engine::SameNameIgnoringCase;

}  // namespace vellum::rebuild
