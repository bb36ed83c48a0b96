// Folder listings of the job library: the self-closing folder reader and the name list of
// common/listing, under the library's names.
#pragma once
#include "common/listing.h"

namespace library {

using ld::DirReader;
using ld::list_names;

}  // namespace library
