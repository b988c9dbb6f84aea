// The path of the place index the build wrote; the build defines it for this
// file alone.
#include "view/place_search.h"

#ifndef OSTRAVEL_PLACE_INDEX
#define OSTRAVEL_PLACE_INDEX "places.sqlite"
#endif

const char* builtPlaceIndexPath() { return OSTRAVEL_PLACE_INDEX; }
