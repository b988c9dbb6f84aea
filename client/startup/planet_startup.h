// Planet start-up: the root record, the planetoid metadata (fetched on the
// calling thread) and the queued download of the root bulk.
#pragma once

#include "tree/tree.h"

// The planet's root record; set by loadPlanet, never freed.
extern rocktree_t* _planetoid;

// Creates _planetoid, fetches and populates the planetoid metadata, and
// queues the root bulk's download. Returns false, after printing
// "no planetoid" and the URL that was tried on standard error, when the
// metadata could not be obtained or populated.
bool tryLoadPlanet();

// tryLoadPlanet, and exit status 1 when the service gave no planetoid: an
// unreachable service is not a crash.
void loadPlanet();
